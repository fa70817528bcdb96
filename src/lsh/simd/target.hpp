// Compiling one kernel for several instruction sets.
//
// The operations every kernel is written in come in one struct per target,
// of the same names (loads, stores, arithmetic, comparisons, gathers...,
// listed in scalar.hpp): simd::Scalar (scalar.hpp), simd::Avx2 (avx2.hpp),
// simd::Avx512 (avx512.hpp) and simd::Neon (neon.hpp). A family of kernels
// `foo` keeps its files in one folder, lsh/foo/:
//
//   kernels.hpp     the entry type (a struct with `Isa isa` and function
//                   pointers), the table lookup the callers use, and the
//                   entries kFooScalar, kFooAvx2... of namespace lsh::detail.
//   body.hpp        the kernels, written once as templates over the
//                   operations struct V, and foo_entry<V>(), the table entry
//                   of target V. Everything in it sits in an anonymous
//                   namespace.
//   kernels.cpp     the portable version (the body over simd::Scalar, or a
//                   loop of its own; the reference every other one must match
//                   bit for bit where the family asks it), the table
//                   {&kFooAvx512, &kFooAvx2, &kFooScalar} on x86-64 or
//                   {&kFooNeon, &kFooScalar} on aarch64, and the choice made
//                   once with lsh::best_kernel (cpu.hpp).
//
// One translation unit per target compiles every family for it,
// simd/avx2.cpp, simd/avx512.cpp and simd/neon.cpp: it includes its standard
// and project headers first, then opens the target region, includes the
// target's operations and the families' bodies, and defines each family's
// entry for the target, which instantiates its body:
//
//     #include <immintrin.h>
//     #include "lsh/foo/kernels.hpp"
//     LSH_TARGET_BEGIN(LSH_TARGET_AVX2)
//     #include "lsh/foo/body.hpp"
//     #include "lsh/simd/avx2.hpp"
//     namespace lsh::detail {
//     extern const FooKernels kFooAvx2 = foo_entry<simd::Avx2>();
//     }
//     LSH_TARGET_END
//
// Only one architecture's units are compiled (CMakeLists.txt); each also
// guards itself with LSH_HAVE_X86_TARGETS or LSH_HAVE_NEON_TARGETS.
//
// Why the region and the anonymous namespace: the same inline function or
// template compiled in two translation units with different targets is two
// different machine codes under one name, and the linker keeps either. Code
// inside a region therefore has internal linkage only (anonymous namespace,
// or templates over an operations struct that lives in one), and standard
// headers are included before the region opens so that nothing of theirs is
// compiled for the target. Only the table entries, constants, are visible
// outside.
//
// Contraction into fused multiply-add stays off inside a region: the
// -ffp-contract=off of the build applies whatever instructions a target
// allows, so every target adds and multiplies exactly as the portable code.
// The fused multiply-adds a kernel asks for by name (mul_add_f32,
// mul_add_f64) are its own choice, made where the product is exact or where
// its bound allows any rounding.
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
