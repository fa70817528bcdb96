// The batch kernels for Advanced SIMD (aarch64): a float32 block of 5 rows
// by 16 columns, two double lanes for the ordered sums. The compiler turns
// the broadcasts into multiply-adds by element, so a step holds its 20
// accumulators, the 4 vectors of one sign-panel row and the 5 row values in
// 29 of the 32 q registers; 6 rows would need 34 and spill accumulators. NEON has no gather: a lane's float is loaded
// into its lane directly.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "lsh/batch_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/batch_lanes.hpp"

namespace lsh::detail {
namespace {

struct NeonOps {
    using F = float32x4_t;
    static constexpr std::size_t kFloats = 4;
    static F zero() noexcept { return vdupq_n_f32(0.0f); }
    static F load(const float* p) noexcept { return vld1q_f32(p); }
    static void store(float* p, F v) noexcept { vst1q_f32(p, v); }
    static F broadcast(const float* p) noexcept { return vld1q_dup_f32(p); }
    static F add(F a, F b) noexcept { return vaddq_f32(a, b); }
    static F fmadd(F a, F b, F c) noexcept { return vfmaq_f32(c, a, b); }
    static std::uint64_t greater_mask(F v, F limit) noexcept { return lane_bits(vcgtq_f32(v, limit)); }
    static std::uint64_t less_mask(F v, F limit) noexcept { return lane_bits(vcltq_f32(v, limit)); }
    // One bit per all-ones lane, lane 0 the least significant.
    static std::uint64_t lane_bits(uint32x4_t mask) noexcept {
        static constexpr std::uint32_t kWeights[4] = {1, 2, 4, 8};
        return vaddvq_u32(vandq_u32(mask, vld1q_u32(kWeights)));
    }

    using D = float64x2_t;
    using I = int32x2_t;
    static constexpr std::size_t kLanes = 2;
    static I offsets(const std::int32_t* p) noexcept { return vld1_s32(p); }
    static I advance(I a, I b) noexcept { return vadd_s32(a, b); }
    static I splat_offset(std::int32_t n) noexcept { return vdup_n_s32(n); }
    static D gather_widen(const float* base, I at) noexcept {
        float32x2_t f = vld1_dup_f32(base + vget_lane_s32(at, 0));
        f = vld1_lane_f32(base + vget_lane_s32(at, 1), f, 1);
        return vcvt_f64_f32(f);
    }
    static D splat(double x) noexcept { return vdupq_n_f64(x); }
    static D fmadd_pd(D s, D x, D acc) noexcept { return vfmaq_f64(acc, s, x); }
    // Ordered comparison: a NaN sum is not greater than zero.
    static unsigned positive_mask(D sum) noexcept {
        const uint64x2_t greater = vcgtq_f64(sum, vdupq_n_f64(0.0));
        return static_cast<unsigned>((vgetq_lane_u64(greater, 0) & 1u) | ((vgetq_lane_u64(greater, 1) & 1u) << 1));
    }
};

}  // namespace

extern const BatchKernels kBatchNeon{Isa::neon,
                                     5,
                                     16,
                                     &micro_rows<NeonOps, 5, 4>,
                                     &measure_row,
                                     &interleave_rows<5>,
                                     &decide_sums<NeonOps>,
                                     &exact_sums<NeonOps, 4>};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
