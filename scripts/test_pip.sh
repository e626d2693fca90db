#!/usr/bin/env bash
# Installs the package with `pip install .` into a fresh venv of the
# interpreter PYTHON names (scripts/env.sh) and runs the Python tests against
# it from outside the checkout, so nothing of the build tree is on the path.
# The long randomised runs are shortened; the full ones run on the default leg.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh
venv="$root/build/pip-venv-$MORVANE_TAG"
rm -rf "$venv"
echo "[pip] fresh venv for $("$MORVANE_PYTHON" --version)"
"$MORVANE_PYTHON" -m venv "$venv"
# The test dependencies at the pins of the newer interpreters: NumPy, and the
# pybind11 the build used, whose signature rendering the tests compare.
grep -E '^(numpy|pytest|dask|distributed|pybind11)==' requirements-newer.txt > "$venv/test-requirements.txt"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$venv/test-requirements.txt"
echo "[pip] pip install ."
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$root"
cd "$(mktemp -d)"
"$venv/bin/python" -c 'import numpy, _morvane_rec_extension as m; print("[pip] NumPy", numpy.__version__, "module", m.__file__)'
MORVANE_DIFF_SEQUENCES="${MORVANE_DIFF_SEQUENCES:-40}" MORVANE_FUZZ_ITERATIONS="${MORVANE_FUZZ_ITERATIONS:-300}" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
