#!/usr/bin/env bash
# Runs every test: sets up and builds if needed, then the C++ tests (CTest, and
# once under valgrind) and the Python tests against the module installed in the
# venv; then both suites again on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the tests of several threads under
# ThreadSanitizer. SANITIZE=0 skips the sanitizer leg; PYTHON picks
# another interpreter (scripts/env.sh).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/setup.sh
source scripts/env.sh
echo "[test] C++ tests"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
echo "[test] C++ tests under valgrind memcheck"
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --error-exitcode=3 --quiet "$BUILD_DIR/morvane_tests" --gtest_brief=1
echo "[test] Python tests"
"$VENV/bin/python" -m pytest -q tests/python "$@"
echo "[test] wheel"
scripts/check_wheel.sh
# The style does not depend on the interpreter: checked on the default leg.
if [ "$MORVANE_TAG" = 37 ]; then
    echo "[test] house style"
    scripts/lint.sh
fi

if [ "${SANITIZE:-1}" = "0" ]; then exit 0; fi
echo "[test] sanitizer build"
asan_dir="$ASAN_DIR"
if [ ! -f "$asan_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$asan_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_SANITIZE=ON \
        -DMORVANE_WERROR=ON \
        -DPython_EXECUTABLE="$root/$VENV/bin/python" \
        -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" >/dev/null
fi
cmake --build "$asan_dir" -j "$(nproc)" --target morvane_tests _morvane_rec_extension 2>&1 |
    grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "[test] C++ tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$asan_dir" --output-on-failure -j "$(nproc)"
echo "[test] C++ tests of several threads under ThreadSanitizer"
tsan_dir="build/tsan"
if [ ! -f "$tsan_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$tsan_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_TSAN=ON -DMORVANE_WERROR=ON \
        -DMORVANE_PYTHON_MODULE=OFF -DMORVANE_BENCH=OFF >/dev/null
fi
cmake --build "$tsan_dir" -j "$(nproc)" --target morvane_thread_tests 2>&1 | grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$tsan_dir/morvane_thread_tests" --gtest_brief=1
echo "[test] coverage-guided fuzzing (${FUZZ_SECONDS:-60}s per target)"
FUZZ_SECONDS="${FUZZ_SECONDS:-60}" scripts/fuzz.sh
echo "[test] Python tests under sanitizers"
# The interpreter is not instrumented: the runtime is preloaded and its own
# leaks are not reported.
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
PYTHONPATH="$root/$asan_dir" MORVANE_SANITIZED=1 MORVANE_DIFF_SEQUENCES="${MORVANE_DIFF_SEQUENCES:-100}" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"
