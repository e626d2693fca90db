#!/usr/bin/env bash
# Usage: scripts/fetch_amalgamation.sh cmake/<name>.lock
# Fetches the source distribution a lock file pins, checks its SHA-256 (and
# each listed file's, where the lock gives one) and unpacks the listed files
# into build/_deps/<name>/. Does nothing when they are already there.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

lock="$1"
name=$(basename "$lock" .lock)
pkg=$(sed -n 's/^package=//p' "$lock")
version=$(sed -n 's/^version=//p' "$lock")
sha=$(sed -n 's/^sha256=//p' "$lock")
mapfile -t files < <(sed -n 's/^file=//p' "$lock")
dest=build/_deps/$name
stamp="$pkg-$version $sha $(sha256sum "$lock" | cut -d' ' -f1)"
if [ "$(cat "$dest/.source" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi

python="${FETCH_PYTHON:-.venv/bin/python}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "[setup] fetching $pkg==$version source distribution"
# The archive is read from the package index's simple API, not through pip:
# pip would build the package's metadata, and with it its build dependencies,
# for the running interpreter.
env -u PYTHONPATH "$python" - "$pkg" "$version" "$work" <<'PY'
import json, os, sys, urllib.request
pkg, version, work = sys.argv[1:]
index = os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple").rstrip("/")
request = urllib.request.Request(index + "/" + pkg + "/",
                                 headers={"Accept": "application/vnd.pypi.simple.v1+json"})
with urllib.request.urlopen(request, timeout=120) as response:
    files = json.load(response)["files"]
name = "%s-%s.tar.gz" % (pkg, version)
url = next(f["url"] for f in files if f["filename"] == name)
with urllib.request.urlopen(url, timeout=300) as response, open(os.path.join(work, name), "wb") as out:
    out.write(response.read())
PY
archive=$(ls "$work"/"$pkg"-"$version".tar.gz)
echo "$sha  $archive" | sha256sum -c --quiet - || { echo "checksum mismatch for $archive" >&2; exit 1; }

rm -rf "$dest"
mkdir -p "$dest"
for entry in "${files[@]}"; do
    read -r path file_sha <<< "$entry"
    tar -xzf "$archive" -C "$work" "$pkg-$version/$path"
    if [ -n "${file_sha:-}" ]; then
        echo "$file_sha  $work/$pkg-$version/$path" | sha256sum -c --quiet - ||
            { echo "checksum mismatch for $path in $archive" >&2; exit 1; }
    fi
    cp "$work/$pkg-$version/$path" "$dest/"
done
echo "$stamp" > "$dest/.source"
