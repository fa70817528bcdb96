// The SimHash kernel for AVX2: four lanes of 64 bits. AVX2 has no 64-bit
// multiplication, so the low 64 bits of x * kSplitMixMix1 are built from
// 32x32 products; the cross term of x's high half is fixed per segment.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/simhash.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/simhash_lanes.hpp"

namespace lsh::detail {
namespace {

// The constants are set per call; once inlined into the walk they are loop
// invariants, kept in registers.
struct Avx2Lanes {
    static constexpr std::size_t kWidth = 4;
    using Bits = __m256i;
    using Sums = __m256d;
    using Positive = __m256d;  // the sign bit of each lane, as blendv reads it
    struct Segment {
        __m256i shifted;     // z >> 30
        __m256i high_cross;  // (x >> 32) * low half of the multiplier
    };

    static Bits load(const std::uint64_t* from) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(from)); }
    static void store(std::uint64_t* to, Bits bits) { _mm256_store_si256(reinterpret_cast<__m256i*>(to), bits); }
    static Bits splat_bits(std::uint64_t value) { return _mm256_set1_epi64x(static_cast<long long>(value)); }
    static Sums splat_sums(double value) { return _mm256_set1_pd(value); }
    static Bits add(Bits a, Bits b) { return _mm256_add_epi64(a, b); }
    static Sums add(Sums a, Sums b) { return _mm256_add_pd(a, b); }
    static Bits xor_bits(Bits a, Bits b) { return _mm256_xor_si256(a, b); }
    static Sums select(Positive positive, Sums minus, Sums plus) { return _mm256_blendv_pd(minus, plus, positive); }

    static Segment segment(Bits z) {
        const __m256i shifted = _mm256_srli_epi64(z, 30);
        return {shifted, _mm256_mul_epu32(_mm256_srli_epi64(_mm256_xor_si256(z, shifted), 32), mix_low())};
    }

    static Positive positive(Bits z, const Segment& segment) {
        const __m256i x = _mm256_xor_si256(z, segment.shifted);
        // Low 64 bits of x * kSplitMixMix1 from 32x32 products: the cross
        // terms only matter in their low 32 bits.
        const __m256i cross =
            _mm256_add_epi64(segment.high_cross, _mm256_mul_epu32(x, splat_bits(kSplitMixMix1 >> 32)));
        const __m256i p = _mm256_add_epi64(_mm256_mul_epu32(x, mix_low()), _mm256_slli_epi64(cross, 32));
        const __m256i y = _mm256_xor_si256(p, _mm256_srli_epi64(p, 27));
        // Bit 31 of the sign product moved to bit 63, which blendv reads.
        return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_mul_epu32(y, splat_bits(kSignMultiplier)), 32));
    }

    static unsigned greater_than_zero(Sums sum) {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(sum, _mm256_setzero_pd(), _CMP_GT_OQ)));
    }

    static Bits mix_low() { return splat_bits(kSplitMixMix1 & 0xFFFFFFFFull); }
};

}  // namespace

extern const SimhashKernel kSimhashAvx2{Isa::avx2, &SimhashLanes<Avx2Lanes>::window};
}  // namespace lsh::detail

LSH_TARGET_END

#endif
