// The exact dot products for AVX-512: eight pairs per vector of doubles,
// their floats gathered with 64-bit offsets.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/cosine_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)
// GCC 12's AVX-512 headers fill unused pass-through operands with a
// self-initialised "undefined" vector, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lsh/cosine_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx512Ops {
    using D = __m512d;
    using I = __m512i;
    static constexpr std::size_t kLanes = 8;
    static I offsets(const std::int64_t* p) noexcept { return _mm512_load_si512(p); }
    static I advance(I at) noexcept { return _mm512_add_epi64(at, _mm512_set1_epi64(1)); }
    static D gather_widen(const float* base, I at) noexcept {
        return _mm512_cvtps_pd(_mm512_i64gather_ps(at, base, 4));
    }
    static D zero() noexcept { return _mm512_setzero_pd(); }
    static D fmadd(D x, D y, D acc) noexcept { return _mm512_fmadd_pd(x, y, acc); }
    static void store(double* p, D v) noexcept { _mm512_store_pd(p, v); }
};

}  // namespace

extern const CosineKernels kCosineAvx512{Isa::avx512, &dot_pairs<Avx512Ops, 4>};
}  // namespace lsh::detail

#pragma GCC diagnostic pop
LSH_TARGET_END

#endif
