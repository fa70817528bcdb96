// The operations the kernel families are written in, for the portable
// kernels: one lane of each type, plain C++ compiled for the build's
// baseline. Each target has a struct of the same names and meanings:
// Scalar here, Avx2 (avx2.hpp), Avx512 (avx512.hpp) and Neon (neon.hpp).
//
//   kIsa                           the target, for the kernel tables
//   F32, kF32Lanes                 a vector of kF32Lanes floats
//     zero_f32()                   +0.0f in every lane
//     load_f32(p), store_f32(p, v) kF32Lanes floats at p, any alignment
//     broadcast_f32(p)             *p in every lane
//     add_f32(a, b)                a + b, rounded once
//     mul_add_f32(a, b, c)         a * b + c: fused (rounded once) on the
//                                  vector targets, rounded twice here; for
//                                  sums where the two agree (the product is
//                                  exact) or where either is within bounds
//     greater_bits_f32(v, limit), less_bits_f32(v, limit)
//                                  bit l set when lane l is > limit (< limit);
//                                  a NaN is neither, lane 0 the lowest bit
//     sum_lanes_f32(v)             the lanes added together, in the target's
//                                  own order
//   F64, kF64Lanes                 a vector of kF64Lanes doubles
//     zero_f64(), splat_f64(x), add_f64(a, b), mul_add_f64(a, b, c) (as for F32)
//     store_f64(p, v)              to p aligned to the vector
//     positive_bits_f64(v)         bit l set when lane l is > 0; a NaN is not
//   I32, I64                       kF64Lanes element offsets of 32 or 64 bits
//     load_i32(p), load_i64(p)     from p aligned to the vector
//     splat_i32(n), splat_i64(n), add_i32(a, b), add_i64(a, b)
//     gather_widen_f32(base, at)   the floats base[at[l]] (at an I32 or an
//                                  I64), each widened exactly to a double
// Only the vector targets (the SimHash kernel has its own portable loop):
//   U64                            kF64Lanes unsigned 64-bit integers
//     load_u64(p), store_u64(p, v) at p aligned to the vector
//     splat_u64(x), add_u64(a, b), xor_u64(a, b)   (modulo 2^64)
//     shift_right_u64<n>(v), shift_left_u64<n>(v)
//     mul_u32x32(a, b)             per lane, the 64-bit product of the low 32
//                                  bits of a and of b
//     kMulU64, mul_u64(a, b)       whether the target multiplies 64-bit lanes,
//                                  and if so the low 64 bits of a * b
//   Mask64                         a choice of lanes of kF64Lanes
//     bit_set_u64<b>(v)            the lanes of v with bit b set
//     select_f64(m, clear, set)    set in the lanes m chooses, clear elsewhere
//
// Every struct sits in an anonymous namespace: each translation unit that
// includes one has its own copy, compiled for its own target (see
// target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"
#include "lsh/fp_env.hpp"

namespace lsh::simd {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

struct Scalar {
    static constexpr Isa kIsa = Isa::scalar;

    using F32 = float;
    static constexpr std::size_t kF32Lanes = 1;
    static F32 zero_f32() noexcept { return 0.0f; }
    static F32 load_f32(const float* p) noexcept { return *p; }
    static void store_f32(float* p, F32 v) noexcept { *p = v; }
    static F32 broadcast_f32(const float* p) noexcept { return *p; }
    static F32 add_f32(F32 a, F32 b) noexcept { return a + b; }
    // Built with -ffp-contract=off: a rounded product, then a rounded addition.
    static F32 mul_add_f32(F32 a, F32 b, F32 c) noexcept { return a * b + c; }
    static std::uint64_t greater_bits_f32(F32 v, F32 limit) noexcept { return v > limit ? 1u : 0u; }
    static std::uint64_t less_bits_f32(F32 v, F32 limit) noexcept { return v < limit ? 1u : 0u; }
    static float sum_lanes_f32(F32 v) noexcept { return v; }

    using F64 = double;
    static constexpr std::size_t kF64Lanes = 1;
    static F64 zero_f64() noexcept { return 0.0; }
    static F64 splat_f64(double x) noexcept { return x; }
    static F64 add_f64(F64 a, F64 b) noexcept { return a + b; }
    // As mul_add_f32: rounded twice.
    static F64 mul_add_f64(F64 a, F64 b, F64 c) noexcept { return a * b + c; }
    static void store_f64(double* p, F64 v) noexcept { *p = v; }
    static unsigned positive_bits_f64(F64 v) noexcept { return v > 0.0 ? 1u : 0u; }

    using I32 = std::int32_t;
    static I32 load_i32(const std::int32_t* p) noexcept { return *p; }
    static I32 splat_i32(std::int32_t n) noexcept { return n; }
    static I32 add_i32(I32 a, I32 b) noexcept { return a + b; }
    using I64 = std::int64_t;
    static I64 load_i64(const std::int64_t* p) noexcept { return *p; }
    static I64 splat_i64(std::int64_t n) noexcept { return n; }
    static I64 add_i64(I64 a, I64 b) noexcept { return a + b; }
    // Exact also for subnormals under denormals-are-zero.
    static F64 gather_widen_f32(const float* base, I32 at) noexcept { return widen_to_double(base[at]); }
    static F64 gather_widen_f32(const float* base, I64 at) noexcept { return widen_to_double(base[at]); }
};

}  // namespace
}  // namespace lsh::simd
