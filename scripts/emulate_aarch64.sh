#!/usr/bin/env bash
# Runs the CPython 3.11 aarch64 wheel under user-mode emulation: Debian's
# qemu-user-static and an arm64 sysroot made of Debian 12's own arm64 packages
# of CPython 3.11 and NumPy (unpacked, not installed: no chroot, no binfmt).
# The wheel's smoke test runs there, then a few Python test files with a pure-
# Python pytest beside it. Builds the wheel first when wheelhouse/ lacks it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
log() { printf '[aarch64] %s\n' "$*"; }
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"

wheel=$(ls wheelhouse/morvane_rec-*-cp311-cp311-*aarch64.whl 2>/dev/null | head -1 || true)
if [ -z "$wheel" ]; then
    PYTHONS=3.11 ARCHS=aarch64 scripts/build_wheels.sh
    wheel=$(ls wheelhouse/morvane_rec-*-cp311-cp311-*aarch64.whl | head -1)
fi

sysroot="$root/build/arm64-root"
packages=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libc6 zlib1g libexpat1 libffi8
          libssl3 libbz2-1.0 liblzma5 libgcc-s1 libstdc++6 libuuid1 libsqlite3-0 libncursesw6
          libtinfo6 libreadline8 libcrypt1 libnsl2 libtirpc3 libdb5.3 libgssapi-krb5-2 libkrb5-3
          libk5crypto3 libkrb5support0 libcom-err2 libkeyutils1 python3-numpy libblas3 liblapack3 libgfortran5)
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
    command -v qemu-aarch64-static >/dev/null || $sudo_cmd apt-get install -y -q qemu-user-static >/dev/null
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo_cmd dpkg --add-architecture arm64
        $sudo_cmd apt-get update -q >/dev/null
    fi
    debs=$(mktemp -d)
    (cd "$debs" && apt-get download -q "${packages[@]/%/:arm64}" >/dev/null)
    mkdir -p "$sysroot"
    for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
    rm -rf "$debs"
fi

# The wheel and a pure-Python pytest, each in a folder of the sysroot.
rm -rf "$sysroot/opt/morvane" "$sysroot/opt/tests"
mkdir -p "$sysroot/opt/morvane" "$sysroot/opt/tests"
python3 -m zipfile -e "$wheel" "$sysroot/opt/morvane"
cp -r tests/python "$sysroot/opt/tests/"
if [ ! -d "$sysroot/opt/pytest" ]; then
    python3 -m pip install -q --disable-pip-version-check --no-deps --target "$sysroot/opt/pytest" \
        pytest==8.3.4 pluggy==1.5.0 iniconfig==2.0.0 packaging==24.2
fi

run() {
    qemu-aarch64-static -L "$sysroot" \
        -E LD_LIBRARY_PATH=/usr/lib/aarch64-linux-gnu/blas:/usr/lib/aarch64-linux-gnu/lapack \
        -E PYTHONPATH=/opt/morvane:/opt/pytest -E PYTHONDONTWRITEBYTECODE=1 \
        "$sysroot/usr/bin/python3.11" "$@"
}
log "$(basename "$wheel") under $(qemu-aarch64-static --version | head -1)"
cp scripts/wheel_smoke.py "$sysroot/opt/tests/"
run /opt/tests/wheel_smoke.py
run -m pytest -q -p no:cacheprovider /opt/tests/python/test_table_formats.py \
    /opt/tests/python/test_algebra.py /opt/tests/python/test_bitmap_basics.py /opt/tests/python/test_shifting.py
