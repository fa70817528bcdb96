// The batch kernels for AVX2 with FMA: a float32 block of 6 rows by 16
// columns (12 accumulators of the 16 ymm registers), four double lanes for
// the ordered sums.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/batch_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/batch_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx2Ops {
    using F = __m256;
    static constexpr std::size_t kFloats = 8;
    static F zero() noexcept { return _mm256_setzero_ps(); }
    static F load(const float* p) noexcept { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) noexcept { _mm256_storeu_ps(p, v); }
    static F broadcast(const float* p) noexcept { return _mm256_broadcast_ss(p); }
    static F add(F a, F b) noexcept { return _mm256_add_ps(a, b); }
    static F fmadd(F a, F b, F c) noexcept { return _mm256_fmadd_ps(a, b, c); }
    static std::uint64_t greater_mask(F v, F limit) noexcept {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, limit, _CMP_GT_OQ)));
    }
    static std::uint64_t less_mask(F v, F limit) noexcept {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, limit, _CMP_LT_OQ)));
    }

    using D = __m256d;
    using I = __m128i;
    static constexpr std::size_t kLanes = 4;
    static I offsets(const std::int32_t* p) noexcept { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static I advance(I a, I b) noexcept { return _mm_add_epi32(a, b); }
    static I splat_offset(std::int32_t n) noexcept { return _mm_set1_epi32(n); }
    static D gather_widen(const float* base, I at) noexcept { return _mm256_cvtps_pd(_mm_i32gather_ps(base, at, 4)); }
    static D splat(double x) noexcept { return _mm256_set1_pd(x); }
    static D fmadd_pd(D s, D x, D acc) noexcept { return _mm256_fmadd_pd(s, x, acc); }
    // Ordered comparison: a NaN sum is not greater than zero.
    static unsigned positive_mask(D sum) noexcept {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(sum, _mm256_setzero_pd(), _CMP_GT_OQ)));
    }
};

}  // namespace

extern const BatchKernels kBatchAvx2{Isa::avx2,
                                     6,
                                     16,
                                     &micro_rows<Avx2Ops, 6, 2>,
                                     &measure_row,
                                     &interleave_rows<6>,
                                     &decide_sums<Avx2Ops>,
                                     &exact_sums<Avx2Ops, 4>};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
