#!/usr/bin/env bash
# Fetches the pinned CRoaring amalgamation from the pyroaring source
# distribution, checks its SHA-256 and unpacks roaring.c/roaring.h under build/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

lock=cmake/croaring.lock
pkg=$(sed -n 's/^package=//p' "$lock")
version=$(sed -n 's/^version=//p' "$lock")
sha=$(sed -n 's/^sha256=//p' "$lock")
dest=build/_deps/croaring
if [ -f "$dest/roaring.c" ] && [ "$(cat "$dest/.source" 2>/dev/null)" = "$pkg-$version $sha" ]; then
    exit 0
fi

python="${FETCH_PYTHON:-.venv/bin/python}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "[setup] fetching $pkg==$version source distribution"
# Inside a wheel build, pip's isolated environment hides the interpreter's own
# site-packages (and pip with them) through PYTHONPATH.
pip_download() {
    env -u PYTHONPATH -u PYTHONNOUSERSITE "$python" -m pip download -q --disable-pip-version-check \
        --no-deps --no-binary "$pkg" "$@" "$pkg==$version" -d "$work"
}
pip_download --no-build-isolation 2>/dev/null || pip_download
archive=$(ls "$work"/"$pkg"-"$version".tar.gz)
echo "$sha  $archive" | sha256sum -c --quiet - || { echo "checksum mismatch for $archive" >&2; exit 1; }

tar -xzf "$archive" -C "$work" "$pkg-$version/$pkg/roaring.c" "$pkg-$version/$pkg/roaring.h"
mkdir -p "$dest"
cp "$work/$pkg-$version/$pkg/roaring.c" "$work/$pkg-$version/$pkg/roaring.h" "$dest/"
echo "$pkg-$version $sha" > "$dest/.source"
