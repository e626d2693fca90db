#!/usr/bin/env bash
# Runs every test: sets up and builds if needed, then the C++ tests (CTest) and
# the Python tests against the module installed in .venv.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/setup.sh
echo "[test] C++ tests"
ctest --test-dir build/release --output-on-failure -j "$(nproc)"
echo "[test] Python tests"
.venv/bin/python -m pytest -q tests/python "$@"
