#!/usr/bin/env bash
# The slow reliability runs, kept out of CI:
#   1. reference and memory leaks, on a debug build of CPython 3.13;
#   2. the free-threaded stress test, on python3.13t;
#   3. the whole Python test suite against an ASan+UBSan build;
#   4. the C++ core suite cross-built for aarch64 and run under qemu-user
#      (scripts/cross-aarch64.sh, about 2 minutes once the toolchain is in);
#   5. the manylinux wheel: built, repaired with auditwheel, smoke-tested in a
#      fresh venv without the system libcrypto (scripts/wheel.sh);
#   6. index adds killed at random moments, the index checked whole after each.
# The two interpreter variants are built on first use (about 4 minutes each)
# by ../shared/tools/python-variant and cached; AMBREL_DEBUG_PYTHON and
# AMBREL_FT_PYTHON select other interpreters. Set STRESS_QUICK=1 for a short
# smoke run. Exits non-zero when any check fails; the figures are printed.
#
#   bash scripts/stress.sh            # everything
#   bash scripts/stress.sh leaks      # one check: leaks | threads | sanitize | aarch64 | wheel | index
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh
prepare_dev_env

variant_tool=${PYTHON_VARIANT_TOOL:-$root/../shared/tools/python-variant}
variant() {  # prints the interpreter of a variant, building it when needed
  "$variant_tool" "$1"
}

# Builds the extension modules for an interpreter into build/stress-<name>,
# installs them into its site/ folder as the wheel lays them out and prints
# that folder (for PYTHONPATH). ambrel_batch comes without its Python files,
# which need numpy: these interpreters import ambrel_batch._core alone.
build_root=${STRESS_BUILD_ROOT:-$root/build}
build_for() {
  local python=$1 dir=$build_root/stress-$2
  "$VENV/bin/cmake" -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
    -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" >/dev/null
  "$VENV/bin/cmake" --build "$dir" --target ambrel_native ambrel_batch_core >/dev/null
  "$VENV/bin/cmake" --install "$dir" --prefix "$dir/site" >/dev/null
  echo "$dir/site"
}

if [ "${STRESS_QUICK:-0}" = 1 ]; then
  leak_args=(--calls 200 --rounds 2 --rss-calls 2000)
  thread_args=(--rounds 2 --processes 10 --mutation-seconds 2 --throughput-calls 20)
else
  leak_args=()
  thread_args=()
fi

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(leaks threads sanitize aarch64 wheel index)
status=0
for check in "${checks[@]}"; do
  case "$check" in
    leaks)
      echo "== reference and memory leaks (debug interpreter)"
      python=${AMBREL_DEBUG_PYTHON:-$(variant debug)}
      dir=$(build_for "$python" debug)
      PYTHONPATH="$dir" "$python" tests/stress/refleaks.py "${leak_args[@]}" || status=1
      ;;
    threads)
      echo "== free-threaded stress (python3.13t)"
      python=${AMBREL_FT_PYTHON:-$(variant freethreaded)}
      dir=$(build_for "$python" freethreaded)
      env -u PYTHON_GIL PYTHONPATH="$dir" "$python" tests/stress/free_threaded.py "${thread_args[@]}" || status=1
      ;;
    sanitize)
      echo "== sanitizers"
      AMBREL_PYTHON="$VENV/bin/python" AMBREL_SANITIZE_BUILD="$build_root/sanitize" AMBREL_TOOLS="$VENV/bin" \
        bash tests/stress/sanitize.sh || status=1
      ;;
    aarch64)
      echo "== aarch64 (cross-built, under qemu-user)"
      bash scripts/cross-aarch64.sh || status=1
      ;;
    wheel)
      echo "== wheel"
      bash scripts/wheel.sh || status=1
      ;;
    index)
      echo "== index adds killed at random moments"
      rounds=30
      [ "${STRESS_QUICK:-0}" = 1 ] && rounds=4
      "$VENV/bin/python" tests/stress/index_kills.py --rounds "$rounds" || status=1
      ;;
    *)
      echo "unknown check '$check' (leaks, threads, sanitize, aarch64, wheel, index)" >&2
      exit 2
      ;;
  esac
done
[ "$status" = 0 ] && echo "stress: all checks passed" || echo "stress: FAILED"
exit "$status"
