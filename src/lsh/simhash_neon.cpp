// The SimHash kernel for Advanced SIMD (aarch64): two lanes of 64 bits.
// NEON has no 64-bit multiplication either, so, as for AVX2, the low 64 bits
// of x * kSplitMixMix1 come from 32x32 widening products (UMULL), with the
// cross term of x's high half fixed per segment; the sign product needs only
// the low 32 bits of y and is one 32-bit lane multiplication.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "lsh/simhash.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/simhash_lanes.hpp"

namespace lsh::detail {
namespace {

struct NeonLanes {
    static constexpr std::size_t kWidth = 2;
    using Bits = uint64x2_t;
    using Sums = float64x2_t;
    using Positive = uint64x2_t;  // all ones in a lane that adds +v[i]
    struct Segment {
        uint64x2_t shifted;     // z >> 30
        uint64x2_t high_cross;  // (x >> 32) * low half of the multiplier
    };

    static Bits load(const std::uint64_t* from) { return vld1q_u64(from); }
    static void store(std::uint64_t* to, Bits bits) { vst1q_u64(to, bits); }
    static Bits splat_bits(std::uint64_t value) { return vdupq_n_u64(value); }
    static Sums splat_sums(double value) { return vdupq_n_f64(value); }
    static Bits add(Bits a, Bits b) { return vaddq_u64(a, b); }
    static Sums add(Sums a, Sums b) { return vaddq_f64(a, b); }
    static Bits xor_bits(Bits a, Bits b) { return veorq_u64(a, b); }
    static Sums select(Positive positive, Sums minus, Sums plus) { return vbslq_f64(positive, plus, minus); }

    static Segment segment(Bits z) {
        const uint64x2_t shifted = vshrq_n_u64(z, 30);
        return {shifted, vmull_u32(vshrn_n_u64(veorq_u64(z, shifted), 32), vdup_n_u32(kMixLow))};
    }

    static Positive positive(Bits z, const Segment& segment) {
        const uint32x2_t x = vmovn_u64(veorq_u64(z, segment.shifted));  // low halves
        // Low 64 bits of x * kSplitMixMix1: the cross terms only matter in
        // their low 32 bits.
        const uint64x2_t cross = vmlal_u32(segment.high_cross, x, vdup_n_u32(kMixHigh));
        const uint64x2_t p = vaddq_u64(vmull_u32(x, vdup_n_u32(kMixLow)), vshlq_n_u64(cross, 32));
        const uint32x2_t y = vmovn_u64(veorq_u64(p, vshrq_n_u64(p, 27)));
        // Bit 31 of the sign product spread over its 64-bit lane.
        const int32x2_t sign = vreinterpret_s32_u32(vmul_u32(y, vdup_n_u32(kSign)));
        return vreinterpretq_u64_s64(vmovl_s32(vshr_n_s32(sign, 31)));
    }

    // Ordered comparison: a NaN sum is not greater than zero.
    static unsigned greater_than_zero(Sums sum) {
        const uint64x2_t greater = vcgtq_f64(sum, vdupq_n_f64(0.0));
        return static_cast<unsigned>((vgetq_lane_u64(greater, 0) & 1u) | ((vgetq_lane_u64(greater, 1) & 1u) << 1));
    }

    static constexpr std::uint32_t kMixLow = static_cast<std::uint32_t>(kSplitMixMix1 & 0xFFFFFFFFull);
    static constexpr std::uint32_t kMixHigh = static_cast<std::uint32_t>(kSplitMixMix1 >> 32);
    static constexpr std::uint32_t kSign = static_cast<std::uint32_t>(kSignMultiplier);
};

}  // namespace

extern const SimhashKernel kSimhashNeon{Isa::neon, &SimhashLanes<NeonLanes>::window};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
