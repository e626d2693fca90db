#!/usr/bin/env bash
# Sets up and builds everything, then runs a short demo of the module.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh
source scripts/env.sh
"$VENV/bin/python" examples/demo.py
