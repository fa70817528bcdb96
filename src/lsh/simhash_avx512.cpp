// The SimHash kernel for AVX-512: eight lanes of 64 bits, with a 64-bit
// multiplication (DQ) and mask registers for the sign step and the blend.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/simhash.hpp"

// GCC 12's AVX-512 headers fill the unused pass-through operand of some
// intrinsics with a self-initialised "undefined" vector, which
// -Wmaybe-uninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)

#include "lsh/simhash_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx512Lanes {
    static constexpr std::size_t kWidth = 8;
    using Bits = __m512i;
    using Sums = __m512d;
    using Positive = __mmask8;
    using Segment = __m512i;  // z >> 30

    static Bits load(const std::uint64_t* from) { return _mm512_load_si512(from); }
    static void store(std::uint64_t* to, Bits bits) { _mm512_store_si512(to, bits); }
    static Bits splat_bits(std::uint64_t value) { return _mm512_set1_epi64(static_cast<long long>(value)); }
    static Sums splat_sums(double value) { return _mm512_set1_pd(value); }
    static Bits add(Bits a, Bits b) { return _mm512_add_epi64(a, b); }
    static Sums add(Sums a, Sums b) { return _mm512_add_pd(a, b); }
    static Bits xor_bits(Bits a, Bits b) { return _mm512_xor_si512(a, b); }
    static Sums select(Positive positive, Sums minus, Sums plus) { return _mm512_mask_blend_pd(positive, minus, plus); }

    static Segment segment(Bits z) { return _mm512_srli_epi64(z, 30); }

    static Positive positive(Bits z, Segment shifted) {
        const __m512i p = _mm512_mullo_epi64(_mm512_xor_si512(z, shifted), splat_bits(kSplitMixMix1));
        const __m512i y = _mm512_xor_si512(p, _mm512_srli_epi64(p, 27));
        return _mm512_test_epi64_mask(_mm512_mul_epu32(y, splat_bits(kSignMultiplier)),
                                      splat_bits(std::uint64_t{1} << 31));
    }

    static unsigned greater_than_zero(Sums sum) { return _mm512_cmp_pd_mask(sum, _mm512_setzero_pd(), _CMP_GT_OQ); }
};

}  // namespace

extern const SimhashKernel kSimhashAvx512{Isa::avx512, &SimhashLanes<Avx512Lanes>::window};
}  // namespace lsh::detail

LSH_TARGET_END

#pragma GCC diagnostic pop

#endif
