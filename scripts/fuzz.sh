#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60), starting from the seed corpora in tests/fuzz/corpus. The
# growing corpora live in build/fuzz/corpus; findings land in build/fuzz/findings
# and fail the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh
seconds="${FUZZ_SECONDS:-60}"
command -v clang++ >/dev/null || { echo "[fuzz] clang++ missing: run scripts/setup.sh" >&2; exit 1; }
dir=build/fuzz
if [ ! -f "$dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_FUZZ=ON \
        -DMORVANE_PYTHON_MODULE=OFF -DMORVANE_TESTS=OFF -DMORVANE_BENCH=OFF \
        -DPython_EXECUTABLE="$root/$VENV/bin/python" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target fuzz_read fuzz_operations fuzz_scan fuzz_failed_allocation 2>&1 |
    grep -vE '^\[ *[0-9]+%\]|^-- ' || true
test "${PIPESTATUS[0]}" -eq 0
mkdir -p "$dir/findings"
for target in fuzz_read fuzz_operations fuzz_scan fuzz_failed_allocation; do
    # A failed step leaks what CRoaring had allocated for it, by design.
    leaks=1
    [ "$target" = fuzz_failed_allocation ] && leaks=0
    corpus="$dir/corpus/$target"
    mkdir -p "$corpus"
    cp -n tests/fuzz/corpus/$target/* "$corpus/" 2>/dev/null || true
    echo "[fuzz] $target for ${seconds}s"
    ASAN_OPTIONS="detect_leaks=$leaks" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$dir/$target" "$corpus" \
        -max_total_time="$seconds" -max_len=4096 -timeout=20 -detect_leaks="$leaks" -rss_limit_mb=8192 -malloc_limit_mb=16384 \
        -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 2>"$dir/$target.log" ||
        { tail -40 "$dir/$target.log"; exit 1; }
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)|cov: " "$dir/$target.log" | tail -3
    echo "[fuzz] $target corpus: $(ls "$corpus" | wc -l) inputs"
done
