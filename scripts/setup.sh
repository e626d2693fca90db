#!/usr/bin/env bash
# Idempotent set-up: system packages, the CPython 3.7 venv, the pinned CRoaring
# amalgamation, and the release build installed into the venv.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

log() { printf '[setup] %s\n' "$*"; }

# --- Debian packages -------------------------------------------------------
missing=()
for pkg in libsimdjson-dev libgtest-dev cmake g++ valgrind; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    log "installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 || {
        $sudo_cmd apt-get update -q >/dev/null
        $sudo_cmd apt-get install -y -q "${missing[@]}" >/dev/null
    }
fi

# --- Python venv -----------------------------------------------------------
find_python() {
    if [ -n "${PYTHON:-}" ]; then command -v "$PYTHON"; return; fi
    if command -v pyenv >/dev/null 2>&1; then
        local v
        v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.7\.[0-9]+$' | sort -V | tail -1)
        if [ -n "$v" ]; then echo "$(pyenv prefix "$v")/bin/python3.7"; return; fi
    fi
    command -v python3.7
}
if [ ! -x .venv/bin/python ]; then
    py="$(find_python)" || { echo "no CPython 3.7 found (pyenv versions)" >&2; exit 1; }
    log "creating .venv with $py"
    "$py" -m venv .venv
fi
stamp=.venv/.requirements.sha256
want=$(sha256sum requirements.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing Python requirements"
    .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements.txt
    echo "$want" > "$stamp"
fi

# --- CRoaring amalgamation -------------------------------------------------
scripts/fetch_croaring.sh

# --- Release build, installed into the venv --------------------------------
build_type="${BUILD_TYPE:-Release}"
build_dir="build/release"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" \
        -DPython_EXECUTABLE="$root/.venv/bin/python" \
        -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" >/dev/null
fi
log "building ($build_dir)"
cmake --build "$build_dir" -j "$(nproc)" 2>&1 | grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0
cmake --install "$build_dir" >/dev/null
log "ready: .venv/bin/python -c 'import _morvane_rec_extension'"
