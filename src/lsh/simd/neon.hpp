// The operations of the kernel families on Advanced SIMD (aarch64): four
// floats, two doubles, two 64-bit integers per vector. The names and their
// meanings are listed in scalar.hpp. NEON has no gather (a lane's float is
// loaded into its lane) and no 64-bit lane multiplication (UMULL multiplies
// the low halves).
//
// Included inside a LSH_TARGET_BEGIN(LSH_TARGET_NEON) region, after
// <arm_neon.h> and the standard headers (see target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"

namespace lsh::simd {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

struct Neon {
    static constexpr Isa kIsa = Isa::neon;

    using F32 = float32x4_t;
    static constexpr std::size_t kF32Lanes = 4;
    static F32 zero_f32() noexcept { return vdupq_n_f32(0.0f); }
    static F32 load_f32(const float* p) noexcept { return vld1q_f32(p); }
    static void store_f32(float* p, F32 v) noexcept { vst1q_f32(p, v); }
    static F32 broadcast_f32(const float* p) noexcept { return vld1q_dup_f32(p); }
    static F32 add_f32(F32 a, F32 b) noexcept { return vaddq_f32(a, b); }
    static F32 mul_add_f32(F32 a, F32 b, F32 c) noexcept { return vfmaq_f32(c, a, b); }
    static std::uint64_t greater_bits_f32(F32 v, F32 limit) noexcept { return lane_bits(vcgtq_f32(v, limit)); }
    static std::uint64_t less_bits_f32(F32 v, F32 limit) noexcept { return lane_bits(vcltq_f32(v, limit)); }
    // Pairwise: (l0 + l1) + (l2 + l3).
    static float sum_lanes_f32(F32 v) noexcept { return vaddvq_f32(v); }

    using F64 = float64x2_t;
    static constexpr std::size_t kF64Lanes = 2;
    static F64 zero_f64() noexcept { return vdupq_n_f64(0.0); }
    static F64 splat_f64(double x) noexcept { return vdupq_n_f64(x); }
    static F64 add_f64(F64 a, F64 b) noexcept { return vaddq_f64(a, b); }
    static F64 mul_add_f64(F64 a, F64 b, F64 c) noexcept { return vfmaq_f64(c, a, b); }
    static void store_f64(double* p, F64 v) noexcept { vst1q_f64(p, v); }
    // Ordered comparison: a NaN is not greater than zero.
    static unsigned positive_bits_f64(F64 v) noexcept {
        const uint64x2_t greater = vcgtq_f64(v, vdupq_n_f64(0.0));
        return static_cast<unsigned>((vgetq_lane_u64(greater, 0) & 1u) | ((vgetq_lane_u64(greater, 1) & 1u) << 1));
    }

    using I32 = int32x2_t;
    static I32 load_i32(const std::int32_t* p) noexcept { return vld1_s32(p); }
    static I32 splat_i32(std::int32_t n) noexcept { return vdup_n_s32(n); }
    static I32 add_i32(I32 a, I32 b) noexcept { return vadd_s32(a, b); }
    using I64 = int64x2_t;
    static I64 load_i64(const std::int64_t* p) noexcept { return vld1q_s64(p); }
    static I64 splat_i64(std::int64_t n) noexcept { return vdupq_n_s64(n); }
    static I64 add_i64(I64 a, I64 b) noexcept { return vaddq_s64(a, b); }
    static F64 gather_widen_f32(const float* base, I32 at) noexcept {
        float32x2_t f = vld1_dup_f32(base + vget_lane_s32(at, 0));
        f = vld1_lane_f32(base + vget_lane_s32(at, 1), f, 1);
        return vcvt_f64_f32(f);
    }
    static F64 gather_widen_f32(const float* base, I64 at) noexcept {
        float32x2_t f = vld1_dup_f32(base + vgetq_lane_s64(at, 0));
        f = vld1_lane_f32(base + vgetq_lane_s64(at, 1), f, 1);
        return vcvt_f64_f32(f);
    }

    using U64 = uint64x2_t;
    static U64 load_u64(const std::uint64_t* p) noexcept { return vld1q_u64(p); }
    static void store_u64(std::uint64_t* p, U64 v) noexcept { vst1q_u64(p, v); }
    static U64 splat_u64(std::uint64_t x) noexcept { return vdupq_n_u64(x); }
    static U64 add_u64(U64 a, U64 b) noexcept { return vaddq_u64(a, b); }
    static U64 xor_u64(U64 a, U64 b) noexcept { return veorq_u64(a, b); }
    template <int N>
    static U64 shift_right_u64(U64 v) noexcept {
        return vshrq_n_u64(v, N);
    }
    template <int N>
    static U64 shift_left_u64(U64 v) noexcept {
        return vshlq_n_u64(v, N);
    }
    static U64 mul_u32x32(U64 a, U64 b) noexcept { return vmull_u32(vmovn_u64(a), vmovn_u64(b)); }
    static constexpr bool kMulU64 = false;

    // All ones in a chosen lane.
    using Mask64 = uint64x2_t;
    template <int B>
    static Mask64 bit_set_u64(U64 v) noexcept {
        return vtstq_u64(v, vdupq_n_u64(std::uint64_t{1} << B));
    }
    static F64 select_f64(Mask64 m, F64 clear, F64 set) noexcept { return vbslq_f64(m, set, clear); }

private:
    // One bit per all-ones lane, lane 0 the least significant.
    static std::uint64_t lane_bits(uint32x4_t mask) noexcept {
        static constexpr std::uint32_t kWeights[4] = {1, 2, 4, 8};
        return vaddvq_u32(vandq_u32(mask, vld1q_u32(kWeights)));
    }
};

}  // namespace
}  // namespace lsh::simd
