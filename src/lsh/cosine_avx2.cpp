// The exact dot products for AVX2 with FMA: four pairs per vector of
// doubles, their floats gathered with 64-bit offsets.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/cosine_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/cosine_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx2Ops {
    using D = __m256d;
    using I = __m256i;
    static constexpr std::size_t kLanes = 4;
    static I offsets(const std::int64_t* p) noexcept { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static I advance(I at) noexcept { return _mm256_add_epi64(at, _mm256_set1_epi64x(1)); }
    static D gather_widen(const float* base, I at) noexcept {
        return _mm256_cvtps_pd(_mm256_i64gather_ps(base, at, 4));
    }
    static D zero() noexcept { return _mm256_setzero_pd(); }
    static D fmadd(D x, D y, D acc) noexcept { return _mm256_fmadd_pd(x, y, acc); }
    static void store(double* p, D v) noexcept { _mm256_store_pd(p, v); }
};

}  // namespace

extern const CosineKernels kCosineAvx2{Isa::avx2, &dot_pairs<Avx2Ops, 4>};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
