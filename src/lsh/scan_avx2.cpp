// The cell-scan dot products for AVX2 with FMA: eight components per vector.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/scan_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/scan_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx2Ops {
    using F = __m256;
    static constexpr std::size_t kFloats = 8;
    static F zero() noexcept { return _mm256_setzero_ps(); }
    static F load(const float* p) noexcept { return _mm256_loadu_ps(p); }
    static F fmadd(F a, F b, F acc) noexcept { return _mm256_fmadd_ps(a, b, acc); }
    static float sum(F v) noexcept {
        const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        const __m128 pair = _mm_add_ps(half, _mm_movehl_ps(half, half));
        return _mm_cvtss_f32(_mm_add_ss(pair, _mm_shuffle_ps(pair, pair, 1)));
    }
};

}  // namespace

extern const ScanKernels kScanAvx2{Isa::avx2, &scan_dots<Avx2Ops>};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
