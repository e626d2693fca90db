#!/usr/bin/env bash
# House style: clang-format (dry run), clang-tidy on src/ and ruff, at the
# versions pinned in requirements-lint.txt, from a venv of their own.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/env.sh
venv=build/lint-venv
tool_venv "$venv" requirements-lint.txt
mapfile -t cxx < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'bench/*.cpp')
echo "[lint] clang-format (${#cxx[@]} files)"
"$venv/bin/clang-format" --dry-run -Werror "${cxx[@]}"
echo "[lint] ruff"
"$venv/bin/ruff" check src/morvane_rec tests/python examples bench
# clang-tidy reads the compile commands of the release build (scripts/setup.sh).
[ -f "$BUILD_DIR/compile_commands.json" ] || { echo "[lint] run scripts/setup.sh first" >&2; exit 1; }
mapfile -t sources < <(git ls-files 'src/*.cpp')
echo "[lint] clang-tidy (${#sources[@]} sources)"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -n 4 "$venv/bin/clang-tidy" -p "$BUILD_DIR" --quiet \
    >"$log" 2>&1 || status=$?
grep -vE '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^\[[0-9]+/[0-9]+\] Processing' "$log" || true
[ "$status" -eq 0 ] || { echo "[lint] clang-tidy found faults" >&2; exit 1; }
echo "[lint] clean"
