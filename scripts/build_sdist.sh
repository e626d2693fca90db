#!/usr/bin/env bash
# Builds the source distribution into dist/ from a clean copy of the tracked
# files, with the two pinned amalgamations and their licences in
# third_party/<name>/ (the build checks them against cmake/<name>.lock), so that
# it installs with no network. Prints the archive's path last.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh
# Any interpreter fetches: the project's venv where set up, else the bare one.
fetch_python="$VENV/bin/python"
[ -x "$fetch_python" ] || fetch_python="$MORVANE_PYTHON"
for lock in cmake/croaring.lock cmake/simdjson.lock; do
    FETCH_PYTHON="$fetch_python" scripts/fetch_amalgamation.sh "$lock" >&2
done

venv=build/sdist-venv-$MORVANE_TAG
if [ ! -x "$venv/bin/python" ]; then
    "$MORVANE_PYTHON" -m venv "$venv"
    # The build backend pinned in pyproject.toml.
    backend=$(grep -oE '"scikit-build-core==[0-9.]+"' pyproject.toml | tr -d '"')
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$backend" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
for name in croaring simdjson; do
    mkdir -p "$work/third_party/$name"
    while read -r path _; do
        cp "build/_deps/$name/$(basename "$path")" "$work/third_party/$name/"
    done < <(sed -n 's/^file=//p' "cmake/$name.lock")
done
mkdir -p dist
cd "$work"
"$root/$venv/bin/python" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' \
    "$root/dist" >/dev/null
ls -t "$root"/dist/morvane_rec-*.tar.gz | head -1
