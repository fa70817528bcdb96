#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer + UndefinedBehaviorSanitizer
# and runs the whole Python test suite against them.
#
#   bash tests/stress/sanitize.sh [pytest arguments]
#
# The interpreter is not instrumented, so the sanitizer runtime is preloaded,
# and PYTHONMALLOC=malloc sends every Python allocation through the checked
# malloc. libstdc++ is preloaded ahead of it so that `operator new` is the
# library's own, on top of the checked malloc: a request that cannot be met
# (tests ask for absurd sizes on purpose) then throws std::bad_alloc as in
# production, instead of ASan's operator new ending the process. Memory
# errors in blocks from `new` are still caught; a canary checks that first.
# Leak detection is off: the interpreter keeps its own objects until exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
python=${AMBREL_PYTHON:-$root/.venv/bin/python}
build=${AMBREL_SANITIZE_BUILD:-$root/build/sanitize}
cxx=${CXX:-g++}
tools=${AMBREL_TOOLS:-$root/.venv/bin}  # cmake and ninja, from the virtual environment

echo "== ASan+UBSan build of ambrel_native and ambrel_batch in $build"
"$tools/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_SANITIZE=ON \
  -DPython_EXECUTABLE="$python" -DCMAKE_MAKE_PROGRAM="$tools/ninja" >/dev/null
"$tools/cmake" --build "$build" --target ambrel_native ambrel_batch_core
# The wheel's layout: the modules as installed, ambrel_batch's Python files beside its core.
"$tools/cmake" --install "$build" --prefix "$build/site" >/dev/null
ln -sf "$root"/src/ambrel_batch/*.py "$build/site/ambrel_batch/"

libasan=$("$cxx" -print-file-name=libasan.so)
libstdcxx=$("$cxx" -print-file-name=libstdc++.so)
[ -f "$libasan" ] || { echo "libasan not found ($libasan)" >&2; exit 1; }
export LD_PRELOAD="$libstdcxx $libasan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:verify_asan_link_order=0:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$build/site${PYTHONPATH:+:$PYTHONPATH}"

echo "== canary: the sanitizers catch an overflow of a block from new[] and undefined behaviour"
canary=$(mktemp -d)
trap 'rm -rf "$canary"' EXIT
cat >"$canary/canary.cpp" <<'EOF'
extern "C" int overflow(int i) { int* p = new int[4]; p[i] = 1; int r = p[0]; delete[] p; return r; }
extern "C" int shift(int amount) { return 1 << amount; }
EOF
"$cxx" -shared -fPIC -g -fsanitize=address,undefined -fno-sanitize-recover=undefined \
  "$canary/canary.cpp" -o "$canary/libcanary.so"
for call in "overflow(4)" "shift(40)"; do
  if ASAN_OPTIONS="$ASAN_OPTIONS:abort_on_error=0" UBSAN_OPTIONS="$UBSAN_OPTIONS:abort_on_error=0" \
    "$python" -c "import ctypes; ctypes.CDLL('$canary/libcanary.so').$call" 2>"$canary/err"; then
    echo "the sanitizers did not report $call: this configuration would hide errors" >&2; exit 1
  fi
  grep -qE "heap-buffer-overflow|runtime error" "$canary/err" \
    || { echo "unexpected failure for $call:" >&2; cat "$canary/err" >&2; exit 1; }
done
echo "   both reported"

echo "== the Python test suite under ASan+UBSan"
"$python" -c "import ambrel_native, ambrel_batch; print('   modules:', ambrel_native.__file__, ambrel_batch._core.__file__)"
cd "$root"
"$python" -m pytest -q -p no:cacheprovider tests/python tests/batch "$@"
echo "sanitizers: ok"
