// Run-time detection of the vector instruction sets the signature kernels use,
// and the AVX2 and AVX-512 signature kernels.
//
// The kernels vectorise across bits: each lane owns one (family, bit) sum and
// adds +-v[i] for i = 0, 1, ... n-1 in order, exactly like the portable loop,
// so every lane performs the same IEEE additions in the same order and ends
// with the same double. Only the sign evaluations are done many at a time.
// Several vectors of sums are kept in flight so that the latency of one
// addition is hidden behind the independent work of the others.
//
// Sign evaluation per lane, for components i of one block [h, h + 2^24):
//   seed = (u << 48) ^ (w << 24) ^ i = ((u << 48) ^ (w << 24) ^ h) + (i - h)
// because the low 24 bits of the first part are zero; so the first SplitMix64
// state z = seed + golden simply counts up by one per component inside a
// block. Within a block, a lane's z >> 30 only changes when the low 30 bits of
// z wrap, at most once per block; between such wraps (a "segment", some
// eleven million components for the first one) z >> 30 is held in a register,
// and so is the high half of x = z ^ (z >> 30), which the AVX2 kernel uses to
// build the low 64 bits of x * 0xBF58476D1CE4E5B9 from two 32x32 products
// instead of three.
// After that multiplication only bit 0 of z ^ (z >> 31) matters, where
// z = y * 0x94D049BB133111EB with y = z1 ^ (z1 >> 27). That bit is
// bit 0 ^ bit 31 of the low 32 bits of y * 0x133111EB; and for any 32-bit t,
// bit 31 of t * (2^31 + 1) = t + (t << 31) is bit 31 ^ bit 0 of t (nothing
// carries into bit 31, the low 31 bits of t << 31 being zero). Hence the sign
// is +1 exactly when bit 31 of low32(y) * 0x933111EB is set, with
// 0x933111EB = 0x133111EB * (2^31 + 1) mod 2^32: one 32x32 multiplication.
#include "lsh/simhash.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace lsh {

namespace {

#if defined(__x86_64__)
struct CpuFeatures {
    bool avx2 = false;
    bool avx512 = false;  // F + DQ + VL, with the OS saving the ZMM state
};

CpuFeatures detect() noexcept {
    CpuFeatures features;
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    if (!osxsave || !avx) return features;
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    const bool ymm_state = (xcr0_lo & 0x6u) == 0x6u;    // SSE and AVX state
    const bool zmm_state = (xcr0_lo & 0xE6u) == 0xE6u;  // plus opmask and ZMM state
    if (__get_cpuid_max(0, nullptr) < 7) return features;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    features.avx2 = ymm_state && (ebx & bit_AVX2) != 0;
    features.avx512 = zmm_state && (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512DQ) != 0 && (ebx & bit_AVX512VL) != 0;
    return features;
}

const CpuFeatures& features() noexcept {
    static const CpuFeatures detected = detect();
    return detected;
}
#endif

}  // namespace

bool kernel_supported(SimhashKernel kernel) noexcept {
    switch (kernel) {
        case SimhashKernel::scalar: return true;
#if defined(__x86_64__)
        case SimhashKernel::avx2: return features().avx2;
        case SimhashKernel::avx512: return features().avx512;
#else
        default: return false;
#endif
    }
    return false;
}

#if defined(__x86_64__)
namespace detail {

namespace {

constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMix1 = 0xBF58476D1CE4E5B9ull;
constexpr std::uint64_t kMix1Low = kMix1 & 0xFFFFFFFFull;
constexpr std::uint64_t kMix1High = kMix1 >> 32;
// 0x133111EB * (2^31 + 1) mod 2^32: bit 31 of low32(y) times this is the sign.
constexpr std::uint64_t kSignMultiplier = (0x133111EBull * 0x80000001ull) & 0xFFFFFFFFull;
static_assert(kSignMultiplier == 0x933111EBull);
constexpr std::uint64_t kSignBit31 = std::uint64_t{1} << 31;
// Components per block in which the seed's component field does not carry.
constexpr std::uint64_t kBlock = std::uint64_t{1} << 24;
// Steps of a state z between wraps of its lowest 30 bits.
constexpr std::uint64_t kSegment = std::uint64_t{1} << 30;

// Seeds of consecutive bits first, first+1, ... of one family, with the
// component field empty: (u << 48) ^ (w << 24), all modulo 2^64.
inline void lane_seeds(std::uint64_t family, std::uint64_t first, std::size_t lanes, std::uint64_t* out) {
    for (std::size_t l = 0; l < lanes; ++l) out[l] = (family << 48) ^ ((first + l) << 24);
}

// Components that can be added to every one of `lanes` states z before the
// lowest 30 bits of one of them wrap: while none wraps, z >> 30 stays fixed.
inline std::uint64_t steps_before_wrap(const std::uint64_t* z, std::size_t lanes) {
    std::uint64_t room = kSegment;
    for (std::size_t l = 0; l < lanes; ++l) {
        const std::uint64_t left = kSegment - (z[l] & (kSegment - 1));
        if (left < room) room = left;
    }
    return room;
}

// ---------------------------------------------------------------- AVX2 ----

// G vectors of 4 lanes: bits first .. first + 4G - 1, of which the first
// `count` are stored.
template <std::size_t G>
__attribute__((target("avx2"))) void avx2_lanes(const double* v, std::size_t n, std::uint64_t family,
                                                std::uint64_t first, std::size_t count, std::uint64_t first_component,
                                                std::uint8_t* out) {
    constexpr std::size_t kLanes = 4;
    alignas(32) std::uint64_t lanes[G * kLanes];
    lane_seeds(family, first, G * kLanes, lanes);
    __m256i seed[G];
    for (std::size_t g = 0; g < G; ++g)
        seed[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes + g * kLanes));

    __m256d sum[G];
    __m256i z[G];
    for (std::size_t g = 0; g < G; ++g) sum[g] = _mm256_set1_pd(-0.0);

    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i mix_low = _mm256_set1_epi64x(static_cast<long long>(kMix1Low));
    const __m256i mix_high = _mm256_set1_epi64x(static_cast<long long>(kMix1High));
    const __m256i sign_multiplier = _mm256_set1_epi64x(static_cast<long long>(kSignMultiplier));

    std::size_t i = 0;
    while (i < n) {
        // A new block of the component index; v[i] is component first_component + i.
        const std::uint64_t index = first_component + i;
        const std::uint64_t offset = index & (kBlock - 1);
        const std::size_t block_end = n - i > kBlock - offset ? i + static_cast<std::size_t>(kBlock - offset) : n;
        const __m256i high = _mm256_set1_epi64x(static_cast<long long>(index - offset));
        const __m256i start = _mm256_set1_epi64x(static_cast<long long>(kGolden + offset));
        for (std::size_t g = 0; g < G; ++g) z[g] = _mm256_add_epi64(_mm256_xor_si256(seed[g], high), start);

        while (i < block_end) {
            // A new segment: z >> 30, and with it the high half of
            // x = z ^ (z >> 30), stays fixed in every lane until `end`.
            for (std::size_t g = 0; g < G; ++g)
                _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + g * kLanes), z[g]);
            const std::uint64_t room = steps_before_wrap(lanes, G * kLanes);
            const std::size_t end = block_end - i > room ? i + static_cast<std::size_t>(room) : block_end;
            __m256i shifted[G];     // z >> 30
            __m256i high_cross[G];  // (x >> 32) * low half of the multiplier
            for (std::size_t g = 0; g < G; ++g) {
                shifted[g] = _mm256_srli_epi64(z[g], 30);
                high_cross[g] = _mm256_mul_epu32(_mm256_srli_epi64(_mm256_xor_si256(z[g], shifted[g]), 32), mix_low);
            }
            for (; i < end; ++i) {
                const __m256d plus = _mm256_broadcast_sd(v + i);
                const __m256d minus = _mm256_set1_pd(-v[i]);
                for (std::size_t g = 0; g < G; ++g) {
                    const __m256i x = _mm256_xor_si256(z[g], shifted[g]);
                    // Low 64 bits of x * kMix1 from 32x32 products: the
                    // cross terms only matter in their low 32 bits.
                    const __m256i cross = _mm256_add_epi64(high_cross[g], _mm256_mul_epu32(x, mix_high));
                    const __m256i p = _mm256_add_epi64(_mm256_mul_epu32(x, mix_low), _mm256_slli_epi64(cross, 32));
                    const __m256i y = _mm256_xor_si256(p, _mm256_srli_epi64(p, 27));
                    // Bit 31 of the sign product moved to bit 63, which blendv reads.
                    const __m256i s = _mm256_slli_epi64(_mm256_mul_epu32(y, sign_multiplier), 32);
                    const __m256d term = _mm256_blendv_pd(minus, plus, _mm256_castsi256_pd(s));
                    sum[g] = _mm256_add_pd(sum[g], term);
                    z[g] = _mm256_add_epi64(z[g], one);
                }
            }
        }
    }

    const __m256d zero = _mm256_setzero_pd();
    for (std::size_t g = 0; g < G; ++g) {
        // Ordered comparison: a NaN sum is not greater than zero.
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(sum[g], zero, _CMP_GT_OQ)));
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::size_t k = g * kLanes + l;
            if (k < count) out[k] = static_cast<std::uint8_t>((mask >> l) & 1u);
        }
    }
}

// ------------------------------------------------------------- AVX-512 ----

// GCC 12's AVX-512 headers fill the unused pass-through operand of some
// intrinsics with a self-initialised "undefined" vector, which
// -Wmaybe-uninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

template <std::size_t G>
__attribute__((target("avx512f,avx512dq,avx512vl"))) void avx512_lanes(const double* v, std::size_t n,
                                                                       std::uint64_t family, std::uint64_t first,
                                                                       std::size_t count, std::uint64_t first_component,
                                                                       std::uint8_t* out) {
    constexpr std::size_t kLanes = 8;
    alignas(64) std::uint64_t lanes[G * kLanes];
    lane_seeds(family, first, G * kLanes, lanes);
    __m512i seed[G];
    for (std::size_t g = 0; g < G; ++g) seed[g] = _mm512_load_si512(lanes + g * kLanes);

    __m512d sum[G];
    __m512i z[G];
    for (std::size_t g = 0; g < G; ++g) sum[g] = _mm512_set1_pd(-0.0);

    const __m512i one = _mm512_set1_epi64(1);
    const __m512i mix = _mm512_set1_epi64(static_cast<long long>(kMix1));
    const __m512i sign_multiplier = _mm512_set1_epi64(static_cast<long long>(kSignMultiplier));
    const __m512i bit31 = _mm512_set1_epi64(static_cast<long long>(kSignBit31));

    std::size_t i = 0;
    while (i < n) {
        const std::uint64_t index = first_component + i;
        const std::uint64_t offset = index & (kBlock - 1);
        const std::size_t block_end = n - i > kBlock - offset ? i + static_cast<std::size_t>(kBlock - offset) : n;
        const __m512i high = _mm512_set1_epi64(static_cast<long long>(index - offset));
        const __m512i start = _mm512_set1_epi64(static_cast<long long>(kGolden + offset));
        for (std::size_t g = 0; g < G; ++g) z[g] = _mm512_add_epi64(_mm512_xor_si512(seed[g], high), start);

        while (i < block_end) {
            for (std::size_t g = 0; g < G; ++g) _mm512_store_si512(lanes + g * kLanes, z[g]);
            const std::uint64_t room = steps_before_wrap(lanes, G * kLanes);
            const std::size_t end = block_end - i > room ? i + static_cast<std::size_t>(room) : block_end;
            __m512i shifted[G];
            for (std::size_t g = 0; g < G; ++g) shifted[g] = _mm512_srli_epi64(z[g], 30);
            for (; i < end; ++i) {
                const __m512d plus = _mm512_set1_pd(v[i]);
                const __m512d minus = _mm512_set1_pd(-v[i]);
                for (std::size_t g = 0; g < G; ++g) {
                    const __m512i x = _mm512_xor_si512(z[g], shifted[g]);
                    const __m512i p = _mm512_mullo_epi64(x, mix);
                    const __m512i y = _mm512_xor_si512(p, _mm512_srli_epi64(p, 27));
                    const __mmask8 positive = _mm512_test_epi64_mask(_mm512_mul_epu32(y, sign_multiplier), bit31);
                    const __m512d term = _mm512_mask_blend_pd(positive, minus, plus);
                    sum[g] = _mm512_add_pd(sum[g], term);
                    z[g] = _mm512_add_epi64(z[g], one);
                }
            }
        }
    }

    const __m512d zero = _mm512_setzero_pd();
    for (std::size_t g = 0; g < G; ++g) {
        const unsigned mask = _mm512_cmp_pd_mask(sum[g], zero, _CMP_GT_OQ);
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::size_t k = g * kLanes + l;
            if (k < count) out[k] = static_cast<std::uint8_t>((mask >> l) & 1u);
        }
    }
}

#pragma GCC diagnostic pop

using LaneKernel = void (*)(const double*, std::size_t, std::uint64_t, std::uint64_t, std::size_t, std::uint64_t,
                            std::uint8_t*);

// Bits first .. first + count - 1 in runs of four vectors of `Lanes` lanes;
// the last run has one to four vectors, the last of them possibly partial.
template <std::size_t Lanes, LaneKernel Run4, LaneKernel Run3, LaneKernel Run2, LaneKernel Run1>
void run_bits(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
              std::uint64_t first_component, std::uint8_t* out) {
    std::size_t done = 0;
    while (count - done > 4 * Lanes) {
        Run4(v, n, family, first + done, 4 * Lanes, first_component, out + done);
        done += 4 * Lanes;
    }
    const std::size_t rest = count - done;
    if (rest == 0) return;
    switch ((rest + Lanes - 1) / Lanes) {
        case 4: Run4(v, n, family, first + done, rest, first_component, out + done); break;
        case 3: Run3(v, n, family, first + done, rest, first_component, out + done); break;
        case 2: Run2(v, n, family, first + done, rest, first_component, out + done); break;
        default: Run1(v, n, family, first + done, rest, first_component, out + done); break;
    }
}

}  // namespace

// The general forms: bits first .. first + count - 1 of the family, over
// components first_component .. first_component + n - 1 held in v[0 .. n-1].
// The signature uses first = 0 and first_component = 0; the general forms let
// the wrapping of w << 24 and the component blocks be exercised with short
// vectors.
void signature_bits_avx2_window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first,
                                std::size_t count, std::uint64_t first_component, std::uint8_t* out) {
    run_bits<4, avx2_lanes<4>, avx2_lanes<3>, avx2_lanes<2>, avx2_lanes<1>>(v, n, family, first, count, first_component,
                                                                            out);
}

void signature_bits_avx512_window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first,
                                  std::size_t count, std::uint64_t first_component, std::uint8_t* out) {
    run_bits<8, avx512_lanes<4>, avx512_lanes<3>, avx512_lanes<2>, avx512_lanes<1>>(v, n, family, first, count,
                                                                                    first_component, out);
}

void signature_bits_avx2(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits, std::uint8_t* out) {
    signature_bits_avx2_window(v, n, family, 0, static_cast<std::size_t>(bits), 0, out);
}

void signature_bits_avx512(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits,
                           std::uint8_t* out) {
    signature_bits_avx512_window(v, n, family, 0, static_cast<std::size_t>(bits), 0, out);
}

}  // namespace detail
#endif

}  // namespace lsh
