# Sourced by the scripts: which interpreter, virtual environment, requirements
# and build folders to use. CPython 3.7 is the default; PYTHON=python3.12 (a
# path, a command, or a pyenv version's name) picks another interpreter, whose
# venv and builds then live beside the default ones.
resolve_python() {
    local wanted="$1" version
    if [ -x "$wanted" ] && [ "${wanted#*/}" != "$wanted" ]; then echo "$wanted"; return; fi
    version="${wanted#python}"
    if command -v pyenv >/dev/null 2>&1; then
        local v
        v=$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}(\.[0-9]+)?$" | sort -V | tail -1)
        if [ -n "$v" ]; then echo "$(pyenv prefix "$v")/bin/python${version}"; return; fi
    fi
    command -v "$wanted"
}

MORVANE_PYTHON="$(resolve_python "${PYTHON:-python3.7}")" ||
    { echo "no interpreter for ${PYTHON:-python3.7}; pyenv versions lists: $(pyenv versions --bare 2>/dev/null | tr '\n' ' ')" >&2; exit 1; }
MORVANE_TAG="$("$MORVANE_PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
if [ "$MORVANE_TAG" = 37 ]; then
    VENV="${VENV:-.venv}"
    REQUIREMENTS=requirements.txt
    BUILD_DIR=build/release
    ASAN_DIR=build/asan
else
    VENV="${VENV:-.venv-$MORVANE_TAG}"
    REQUIREMENTS=requirements-newer.txt
    BUILD_DIR="build/release-$MORVANE_TAG"
    ASAN_DIR="build/asan-$MORVANE_TAG"
fi

# A CPython 3.12 venv at $1 holding the pinned tools of requirements file $2,
# made anew whenever that file changes (the tools are wheels of their own).
tool_venv() {
    local venv="$1" requirements="$2" want
    want=$(sha256sum "$requirements" | cut -d' ' -f1)
    if [ "$(cat "$venv/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
        rm -rf "$venv"
        "$(resolve_python python3.12)" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
        echo "$want" > "$venv/.requirements.sha256"
    fi
}
