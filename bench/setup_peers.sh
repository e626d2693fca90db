#!/usr/bin/env bash
# Creates .venv-peers (CPython 3.8 from pyenv, or $PEER_PYTHON) holding the
# peer libraries that bench/compare.py measures against.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv-peers"
stamp="$venv/.requirements-peers.txt"
if [ ! -x "$venv/bin/python" ]; then
    python="${PEER_PYTHON:-$(pyenv prefix 3.8 2>/dev/null || pyenv prefix 3.8.18)/bin/python}"
    "$python" -m venv "$venv"
fi
if ! cmp -s "$root/bench/requirements-peers.txt" "$stamp"; then
    "$venv/bin/python" -m pip install -q -r "$root/bench/requirements-peers.txt"
    cp "$root/bench/requirements-peers.txt" "$stamp"
fi
