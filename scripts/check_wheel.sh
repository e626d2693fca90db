#!/usr/bin/env bash
# Builds a wheel with pip from a clean copy of the tracked files (so the build
# fetches CRoaring itself), installs it into a fresh venv of the same
# interpreter and imports it there.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source_dir="$work/source"
mkdir -p "$source_dir"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$source_dir"

echo "[wheel] building from a clean copy"
"$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps "$source_dir" -w "$work/dist"
wheel=$(ls "$work"/dist/*.whl)
echo "[wheel] installing $(basename "$wheel") into a fresh venv"
"$MORVANE_PYTHON" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
cd "$work"
"$work/venv/bin/python" - <<'PY'
import os
import numpy as np
import _morvane_rec_extension as ext

bitmap = ext.Bitmap(np.array([5, 2**40], dtype=np.uint64))
assert list(bitmap) == [5, 2**40]
assert ext.MemoryScanner().scan(b'{"a":1}\n{"b":') == (1, 8)
stub = os.path.join(os.path.dirname(ext.__file__), "_morvane_rec_extension.pyi")
assert os.path.isfile(stub), stub
print("[wheel] imported from", os.path.dirname(ext.__file__))
PY
