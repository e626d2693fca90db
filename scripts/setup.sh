#!/usr/bin/env bash
# Idempotent set-up: system packages, the venv (CPython 3.7 unless PYTHON is
# set, see scripts/env.sh), the pinned CRoaring and simdjson amalgamations, and the release
# build installed into the venv.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

log() { printf '[setup] %s\n' "$*"; }

# --- Debian packages -------------------------------------------------------
missing=()
for pkg in libgtest-dev cmake g++ valgrind clang libclang-rt-14-dev; do
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
source scripts/env.sh
if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV with $MORVANE_PYTHON"
    "$MORVANE_PYTHON" -m venv "$VENV"
fi
stamp="$VENV/.requirements.sha256"
want=$(sha256sum "$REQUIREMENTS" | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing Python requirements ($REQUIREMENTS)"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$REQUIREMENTS"
    echo "$want" > "$stamp"
fi

# --- Pinned amalgamations (CRoaring, simdjson) -----------------------------
for lock in cmake/croaring.lock cmake/simdjson.lock; do
    FETCH_PYTHON="$VENV/bin/python" scripts/fetch_amalgamation.sh "$lock"
done

# --- Release build, installed into the venv --------------------------------
build_type="${BUILD_TYPE:-Release}"
build_dir="$BUILD_DIR"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" \
        -DPython_EXECUTABLE="$root/$VENV/bin/python" \
        -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" >/dev/null
fi
log "building ($build_dir)"
cmake --build "$build_dir" -j "$(nproc)" 2>&1 | grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0
cmake --install "$build_dir" >/dev/null
log "ready: $VENV/bin/python -c 'import _morvane_rec_extension'"
