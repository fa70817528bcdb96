// The batch kernels for AVX-512: a float32 block of 12 rows by 32 columns
// (24 accumulators of the 32 zmm registers, so both FMA ports stay busy
// while one panel row and one row value are loaded per step), eight double
// lanes for the ordered sums.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/batch_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)
// GCC 12's AVX-512 headers fill unused pass-through operands with a
// self-initialised "undefined" vector, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lsh/batch_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx512Ops {
    using F = __m512;
    static constexpr std::size_t kFloats = 16;
    static F zero() noexcept { return _mm512_setzero_ps(); }
    static F load(const float* p) noexcept { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) noexcept { _mm512_storeu_ps(p, v); }
    static F broadcast(const float* p) noexcept { return _mm512_set1_ps(*p); }
    static F add(F a, F b) noexcept { return _mm512_add_ps(a, b); }
    static F fmadd(F a, F b, F c) noexcept { return _mm512_fmadd_ps(a, b, c); }
    static std::uint64_t greater_mask(F v, F limit) noexcept { return _mm512_cmp_ps_mask(v, limit, _CMP_GT_OQ); }
    static std::uint64_t less_mask(F v, F limit) noexcept { return _mm512_cmp_ps_mask(v, limit, _CMP_LT_OQ); }

    using D = __m512d;
    using I = __m256i;
    static constexpr std::size_t kLanes = 8;
    static I offsets(const std::int32_t* p) noexcept { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static I advance(I a, I b) noexcept { return _mm256_add_epi32(a, b); }
    static I splat_offset(std::int32_t n) noexcept { return _mm256_set1_epi32(n); }
    static D gather_widen(const float* base, I at) noexcept {
        return _mm512_cvtps_pd(_mm256_i32gather_ps(base, at, 4));
    }
    static D splat(double x) noexcept { return _mm512_set1_pd(x); }
    static D fmadd_pd(D s, D x, D acc) noexcept { return _mm512_fmadd_pd(s, x, acc); }
    static unsigned positive_mask(D sum) noexcept { return _mm512_cmp_pd_mask(sum, _mm512_setzero_pd(), _CMP_GT_OQ); }
};

}  // namespace

extern const BatchKernels kBatchAvx512{Isa::avx512,
                                       12,
                                       32,
                                       &micro_rows<Avx512Ops, 12, 2>,
                                       &measure_row,
                                       &interleave_rows<12>,
                                       &decide_sums<Avx512Ops>,
                                       &exact_sums<Avx512Ops, 4>};
}  // namespace lsh::detail

#pragma GCC diagnostic pop
LSH_TARGET_END

#endif
