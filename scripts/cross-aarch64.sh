#!/usr/bin/env bash
# Cross-builds the numeric core and its GoogleTest suite for aarch64 with
# Debian's GNU cross toolchain and runs the suite under qemu-user: the NEON
# kernels against the portable ones, and the golden outputs, on an emulated
# AArch64 CPU. Installs what it needs (the arm64 architecture for dpkg, the
# cross compiler, qemu-user, OpenSSL and GoogleTest for arm64).
#
#   bash scripts/cross-aarch64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh

ensure_cross_packages() {
  local missing=()
  command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
  command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
  [ -f /usr/lib/aarch64-linux-gnu/libcrypto.a ] || missing+=(libssl-dev:arm64)
  [ -f /usr/lib/aarch64-linux-gnu/libgtest.a ] || missing+=(libgtest-dev:arm64)
  [ ${#missing[@]} -gt 0 ] || return 0
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" dpkg --add-architecture arm64
  fi
  apt_install "${missing[@]}"
}

ensure_cross_packages
ensure_venv
"$VENV/bin/python" -m pip install --quiet cmake ninja

# Linked statically: qemu-user 7.2 (Debian 12) hangs in the dynamic glibc's
# pthread_create on this host, before the new thread's stack is mapped; a
# static program starts its threads normally.
build="$root/build/aarch64"
echo "== cross-building lsh_core_tests for aarch64"
"$VENV/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
  -DAMBREL_BUILD_TESTS=ON -DOPENSSL_USE_STATIC_LIBS=TRUE -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
"$VENV/bin/cmake" --build "$build" --target lsh_core_tests -j 2 2>&1 |
  grep -v -e "statically linked applications requires" -e "in function \`" || true
[ -x "$build/lsh_core_tests" ] || { echo "cross build failed" >&2; exit 1; }

echo "== C++ core tests under qemu-aarch64"
qemu-aarch64 -L /usr/aarch64-linux-gnu "$build/lsh_core_tests" --gtest_filter='SimhashKernels.SelectionIsSupported' |
  grep 'kernels on this CPU'
"$VENV/bin/ctest" --test-dir "$build" --output-on-failure -j2
