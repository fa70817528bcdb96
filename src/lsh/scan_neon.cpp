// The cell-scan dot products for Advanced SIMD (aarch64): four components
// per vector.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "lsh/scan_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/scan_lanes.hpp"

namespace lsh::detail {
namespace {

struct NeonOps {
    using F = float32x4_t;
    static constexpr std::size_t kFloats = 4;
    static F zero() noexcept { return vdupq_n_f32(0.0f); }
    static F load(const float* p) noexcept { return vld1q_f32(p); }
    static F fmadd(F a, F b, F acc) noexcept { return vfmaq_f32(acc, a, b); }
    static float sum(F v) noexcept { return vaddvq_f32(v); }
};

}  // namespace

extern const ScanKernels kScanNeon{Isa::neon, &scan_dots<NeonOps>};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
