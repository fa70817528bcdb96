// Compiling one kernel for several instruction sets.
//
// The pattern, for a kernel `foo`:
//
//   foo.hpp         the kernel's entry type (a struct with `Isa isa` and
//                   function pointers) and the table lookup the callers use.
//   foo_lanes.hpp   the kernel body, written once as templates over a small
//                   "lanes" struct of vector operations (width, load, store,
//                   add, compare, blend...). Everything in it sits in an
//                   anonymous namespace.
//   foo_avx2.cpp    one translation unit per target: includes its standard and
//   foo_avx512.cpp  project headers first, then opens the target region,
//   foo_neon.cpp
//                   includes foo_lanes.hpp, defines the target's lanes struct
//                   in an anonymous namespace and the target's table entry,
//                   which instantiates the body with those lanes:
//
//     #include <immintrin.h>
//     #include "lsh/foo.hpp"
//     LSH_TARGET_BEGIN(LSH_TARGET_AVX2)
//     #include "lsh/foo_lanes.hpp"
//     namespace lsh::detail {
//     namespace { struct Avx2Lanes { ... }; }
//     extern const FooKernel kFooAvx2{Isa::avx2, &FooBody<Avx2Lanes>::run};
//     }
//     LSH_TARGET_END
//
//   foo.cpp         the portable version (the reference every other one must
//                   match bit for bit), the table {&kFooAvx512, &kFooAvx2,
//                   &kFooScalar} on x86-64 or {&kFooNeon, &kFooScalar} on
//                   aarch64, and the choice made once with lsh::best_kernel
//                   (cpu.hpp). Only one architecture's files are compiled
//                   (CMakeLists.txt); each also guards itself with
//                   LSH_HAVE_X86_TARGETS or LSH_HAVE_NEON_TARGETS.
//
// Why the region and the anonymous namespace: the same inline function or
// template compiled in two translation units with different targets is two
// different machine codes under one name, and the linker keeps either. Code
// inside a region therefore has internal linkage only (anonymous namespace,
// or templates over a lanes struct that lives in one), and standard headers
// are included before the region opens so that nothing of theirs is compiled
// for the target. Only the table entry, a constant, is visible outside.
//
// Contraction into fused multiply-add stays off inside a region: the
// -ffp-contract=off of the build applies whatever instructions a target
// allows, so every target adds and multiplies exactly as the portable code.
#pragma once

#if defined(__x86_64__)
#define LSH_HAVE_X86_TARGETS 1
// AVX2 with FMA (Haswell, Zen and later).
#define LSH_TARGET_AVX2 "avx2,fma"
// AVX-512 F, DQ, VL and BW (Skylake-SP, Ice Lake, Zen 4 and later).
#define LSH_TARGET_AVX512 "avx2,fma,avx512f,avx512dq,avx512vl,avx512bw"
#else
#define LSH_HAVE_X86_TARGETS 0
#endif

#if defined(__aarch64__)
#define LSH_HAVE_NEON_TARGETS 1
// Advanced SIMD, which every AArch64 CPU has: the region keeps the pattern
// (and its internal linkage) rather than widening the instruction set.
#if defined(__clang__)
#define LSH_TARGET_NEON "neon"
#else
#define LSH_TARGET_NEON "+simd"
#endif
#else
#define LSH_HAVE_NEON_TARGETS 0
#endif

#define LSH_PRAGMA(text) _Pragma(#text)

#if defined(__clang__)
#define LSH_TARGET_BEGIN(targets) \
    LSH_PRAGMA(clang attribute push(__attribute__((target(targets))), apply_to = function))
#define LSH_TARGET_END LSH_PRAGMA(clang attribute pop)
#else
#define LSH_TARGET_BEGIN(targets) LSH_PRAGMA(GCC push_options) LSH_PRAGMA(GCC target(targets))
#define LSH_TARGET_END LSH_PRAGMA(GCC pop_options)
#endif
