#!/usr/bin/env bash
# Lint: clang-format and clang-tidy over the C++ sources, ruff over the Python
# files, and the documentation site built with every warning an error. Installs what it needs (clang tools from Debian, ruff into .venv) and
# exits non-zero on the first family of findings it reports.
#   bash scripts/lint.sh           everything
#   bash scripts/lint.sh --fix     rewrite with clang-format and ruff format instead of checking
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh

# Pinned major version: another clang-format can lay out the same code differently.
LLVM_VERSION=${AMBREL_LLVM_VERSION:-19}
CLANG_FORMAT=clang-format-$LLVM_VERSION
CLANG_TIDY=clang-tidy-$LLVM_VERSION

ensure_lint_packages() {
  local missing=()
  command -v "$CLANG_FORMAT" >/dev/null 2>&1 || missing+=("$CLANG_FORMAT")
  command -v "$CLANG_TIDY" >/dev/null 2>&1 || missing+=("$CLANG_TIDY")
  apt_install "${missing[@]}"
}

fix=0
if [ "${1:-}" = "--fix" ]; then fix=1; fi

prepare_dev_env
ensure_lint_packages
"$VENV/bin/python" -m pip install --quiet "ruff>=0.6"

mapfile -t cxx_files < <(find src tests/cpp -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)
mapfile -t tidy_files < <(find src -type f -name '*.cpp' | sort)
status=0

echo "== clang-format (${#cxx_files[@]} files)"
if [ $fix -eq 1 ]; then
  "$CLANG_FORMAT" -i "${cxx_files[@]}"
elif ! "$CLANG_FORMAT" --dry-run --Werror "${cxx_files[@]}"; then
  status=1
fi

echo "== ruff"
if [ $fix -eq 1 ]; then
  "$VENV/bin/ruff" format .
  "$VENV/bin/ruff" check --fix . || status=1
else
  "$VENV/bin/ruff" check . || status=1
  "$VENV/bin/ruff" format --check . || status=1
fi

echo "== clang-tidy (${#tidy_files[@]} files)"
# Configuring is enough: clang-tidy needs the compile commands, not the objects.
build="$root/build/lint"
"$VENV/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
printf '%s\n' "${tidy_files[@]}" |
  xargs -P "$(nproc)" -n 1 "$CLANG_TIDY" -p "$build" --quiet 2>/dev/null || status=1

echo "== documentation (mkdocs, warnings are errors)"
"$VENV/bin/mkdocs" build --strict --quiet --site-dir "$root/build/docs" || status=1

if [ $status -ne 0 ]; then
  echo "== lint found problems"
else
  echo "== lint clean"
fi
exit $status
