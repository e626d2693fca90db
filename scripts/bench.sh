#!/usr/bin/env bash
# Sets up the module and the peers' environment, then runs the comparison
# benchmark (arguments go to bench/compare.py, e.g. --repeats 3 --scale 0.1)
# and the per-element and bulk tables.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh
bench/setup_peers.sh
.venv/bin/python bench/compare.py "$@"
.venv/bin/python bench/per_element.py
