// The exact dot products for Advanced SIMD (aarch64): two pairs per vector
// of doubles. NEON has no gather: each lane's float is loaded into its lane
// and the pair widened exactly.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "lsh/cosine_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/cosine_lanes.hpp"

namespace lsh::detail {
namespace {

struct NeonOps {
    using D = float64x2_t;
    using I = int64x2_t;
    static constexpr std::size_t kLanes = 2;
    static I offsets(const std::int64_t* p) noexcept { return vld1q_s64(p); }
    static I advance(I at) noexcept { return vaddq_s64(at, vdupq_n_s64(1)); }
    static D gather_widen(const float* base, I at) noexcept {
        float32x2_t f = vld1_dup_f32(base + vgetq_lane_s64(at, 0));
        f = vld1_lane_f32(base + vgetq_lane_s64(at, 1), f, 1);
        return vcvt_f64_f32(f);
    }
    static D zero() noexcept { return vdupq_n_f64(0.0); }
    static D fmadd(D x, D y, D acc) noexcept { return vfmaq_f64(acc, x, y); }
    static void store(double* p, D v) noexcept { vst1q_f64(p, v); }
};

}  // namespace

extern const CosineKernels kCosineNeon{Isa::neon, &dot_pairs<NeonOps, 4>};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
