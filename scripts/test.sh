#!/usr/bin/env bash
# Runs every test from a fresh clone on a fresh machine: installs the system
# packages the build needs, creates .venv with Python 3.13, builds and installs
# the extension, then runs the C++ core tests and the Python test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh
prepare_dev_env

echo "== building and installing ambrel_native"
"$VENV/bin/python" -m pip install --quiet --no-build-isolation "$root"

echo "== C++ core tests"
# CMake and Ninja come from .venv (requirements-dev.txt): no system CMake needed.
"$VENV/bin/cmake" -S "$root" -B "$root/build/cpp-tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DAMBREL_BUILD_TESTS=ON -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" >/dev/null
"$VENV/bin/cmake" --build "$root/build/cpp-tests" --target lsh_core_tests
"$VENV/bin/ctest" --test-dir "$root/build/cpp-tests" --output-on-failure -j2

echo "== benchmark smoke run (tiny counts; no timing is checked)"
"$VENV/bin/python" bench/run.py --quick
"$VENV/bin/python" bench/batch.py --quick
"$VENV/bin/python" bench/index.py --quick
"$VENV/bin/python" bench/decisions.py --quick

echo "== Python tests"
cd "$root"
"$VENV/bin/python" -m pytest -q "$@"
