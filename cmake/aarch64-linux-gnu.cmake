# Cross-compiling for aarch64 Linux with Debian's GNU toolchain
# (g++-aarch64-linux-gnu) against the arm64 libraries of a multiarch install
# (libssl-dev:arm64, libgtest-dev:arm64). Programs built this way run on
# x86-64 under qemu-user: `qemu-aarch64 -L /usr/aarch64-linux-gnu prog`.
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(AMBREL_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${AMBREL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${AMBREL_CROSS_TRIPLE}-g++)

# Debian's multiarch layout: the arm64 libraries sit in /usr/lib/aarch64-linux-gnu
# beside the host's, their headers in /usr/include (and its aarch64-linux-gnu
# folder, which the cross compiler searches by itself). CMake's
# architecture-specific search finds them; the host's libraries and pkg-config
# files are kept out of every search.
set(CMAKE_LIBRARY_ARCHITECTURE ${AMBREL_CROSS_TRIPLE})
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${AMBREL_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# Test programs found by gtest_discover_tests and run by ctest go through qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${AMBREL_CROSS_TRIPLE})
