// The vector SimHash kernel, written once over a target's operations (a
// struct of lsh/simd: Avx2, Avx512 or Neon). Included after
// lsh/simhash/kernels.hpp, inside their target regions, by the per-target
// units simd/avx2.cpp, simd/avx512.cpp and simd/neon.cpp (see
// simd/target.hpp).
//
// The kernel vectorises across bits: each lane owns one (family, bit) sum and
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
// together with whatever else a target derives from it.
// After the first multiplication only bit 0 of z ^ (z >> 31) matters, where
// z = y * kSplitMixMix2 with y = z1 ^ (z1 >> 27). That bit is
// bit 0 ^ bit 31 of the low 32 bits of y * low32(kSplitMixMix2); and for any
// 32-bit t, bit 31 of t * (2^31 + 1) = t + (t << 31) is bit 31 ^ bit 0 of t
// (nothing carries into bit 31, the low 31 bits of t << 31 being zero). Hence
// the sign is +1 exactly when bit 31 of low32(y) * kSignMultiplier is set, with
// kSignMultiplier = low32(kSplitMixMix2) * (2^31 + 1) mod 2^32: one 32x32
// multiplication.
//
// The multiplication by kSplitMixMix1 takes one 64-bit lane multiplication
// where the target has one (AVX-512 DQ); elsewhere (AVX2, NEON) the low 64
// bits of the product are built from 32x32 products, the cross term of x's
// high half being fixed per segment as well.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/simhash/kernels.hpp"

namespace lsh::detail {
// Every target compiles its own copy; see simd/target.hpp.
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

// 0x133111EB * (2^31 + 1) mod 2^32: bit 31 of low32(y) times this is the sign.
constexpr std::uint64_t kSignMultiplier = ((kSplitMixMix2 & 0xFFFFFFFFull) * 0x80000001ull) & 0xFFFFFFFFull;
static_assert(kSignMultiplier == 0x933111EBull);
// Components per block in which the seed's component field does not carry.
constexpr std::uint64_t kBlock = std::uint64_t{1} << kBitShift;
// Steps of a state z between wraps of its lowest 30 bits.
constexpr std::uint64_t kSegment = std::uint64_t{1} << 30;

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

// The lanes that add +v[i], from p = x * kSplitMixMix1 modulo 2^64: those
// with bit 31 of the sign product set.
template <class V>
typename V::Mask64 positive_lanes(typename V::U64 p) {
    const typename V::U64 y = V::xor_u64(p, V::template shift_right_u64<27>(p));
    return V::template bit_set_u64<31>(V::mul_u32x32(y, V::splat_u64(kSignMultiplier)));
}

// The sign step of one vector of states z: what a segment fixes, and then
// per component the lanes that add +v[i].
template <class V, bool = V::kMulU64>
struct SimhashSign {
    using U64 = typename V::U64;
    using Segment = U64;  // z >> 30

    static Segment segment(U64 z) { return V::template shift_right_u64<30>(z); }

    static typename V::Mask64 positive(U64 z, Segment shifted) {
        return positive_lanes<V>(V::mul_u64(V::xor_u64(z, shifted), V::splat_u64(kSplitMixMix1)));
    }
};

// Without a 64-bit multiplication: x * kSplitMixMix1 modulo 2^64 from three
// 32x32 products, the cross terms only mattering in their low 32 bits.
template <class V>
struct SimhashSign<V, false> {
    using U64 = typename V::U64;
    struct Segment {
        U64 shifted;     // z >> 30
        U64 high_cross;  // (x >> 32) * low half of the multiplier
    };

    static U64 mix_low() { return V::splat_u64(kSplitMixMix1 & 0xFFFFFFFFull); }

    static Segment segment(U64 z) {
        const U64 shifted = V::template shift_right_u64<30>(z);
        return {shifted, V::mul_u32x32(V::template shift_right_u64<32>(V::xor_u64(z, shifted)), mix_low())};
    }

    static typename V::Mask64 positive(U64 z, const Segment& segment) {
        const U64 x = V::xor_u64(z, segment.shifted);
        const U64 cross = V::add_u64(segment.high_cross, V::mul_u32x32(x, V::splat_u64(kSplitMixMix1 >> 32)));
        return positive_lanes<V>(V::add_u64(V::mul_u32x32(x, mix_low()), V::template shift_left_u64<32>(cross)));
    }
};

// G vectors: bits first .. first + G * kF64Lanes - 1, of which the first
// `count` are stored.
template <class V, std::size_t G>
void simhash_vectors(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
                     std::uint64_t first_component, std::uint8_t* out) {
    using Sign = SimhashSign<V>;
    using U64 = typename V::U64;
    using F64 = typename V::F64;
    constexpr std::size_t W = V::kF64Lanes;
    alignas(64) std::uint64_t scratch[G * W];
    for (std::size_t l = 0; l < G * W; ++l) scratch[l] = projection_seed(family, first + l, 0);
    U64 seed[G];
    for (std::size_t g = 0; g < G; ++g) seed[g] = V::load_u64(scratch + g * W);

    F64 sum[G];
    U64 z[G];
    for (std::size_t g = 0; g < G; ++g) sum[g] = V::splat_f64(-0.0);
    const U64 one = V::splat_u64(1);

    std::size_t i = 0;
    while (i < n) {
        // A new block of the component index; v[i] is component first_component + i.
        const std::uint64_t index = first_component + i;
        const std::uint64_t offset = index & (kBlock - 1);
        const std::size_t block_end = n - i > kBlock - offset ? i + static_cast<std::size_t>(kBlock - offset) : n;
        const U64 high = V::splat_u64(index - offset);
        const U64 start = V::splat_u64(kSplitMixGolden + offset);
        for (std::size_t g = 0; g < G; ++g) z[g] = V::add_u64(V::xor_u64(seed[g], high), start);

        while (i < block_end) {
            // A new segment: z >> 30 stays fixed in every lane until `end`.
            for (std::size_t g = 0; g < G; ++g) V::store_u64(scratch + g * W, z[g]);
            const std::uint64_t room = steps_before_wrap(scratch, G * W);
            const std::size_t end = block_end - i > room ? i + static_cast<std::size_t>(room) : block_end;
            typename Sign::Segment segment[G];
            for (std::size_t g = 0; g < G; ++g) segment[g] = Sign::segment(z[g]);
            for (; i < end; ++i) {
                const F64 plus = V::splat_f64(v[i]);
                const F64 minus = V::splat_f64(-v[i]);
                for (std::size_t g = 0; g < G; ++g) {
                    const F64 term = V::select_f64(Sign::positive(z[g], segment[g]), minus, plus);
                    sum[g] = V::add_f64(sum[g], term);
                    z[g] = V::add_u64(z[g], one);
                }
            }
        }
    }

    for (std::size_t g = 0; g < G; ++g) {
        const unsigned mask = V::positive_bits_f64(sum[g]);
        for (std::size_t l = 0; l < W; ++l) {
            const std::size_t k = g * W + l;
            if (k < count) out[k] = static_cast<std::uint8_t>((mask >> l) & 1u);
        }
    }
}

// Bits first .. first + count - 1 in runs of four vectors; the last run has
// one to four vectors, the last of them possibly partial.
template <class V>
void simhash_window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
                    std::uint64_t first_component, std::uint8_t* out) {
    constexpr std::size_t W = V::kF64Lanes;
    std::size_t done = 0;
    while (count - done > 4 * W) {
        simhash_vectors<V, 4>(v, n, family, first + done, 4 * W, first_component, out + done);
        done += 4 * W;
    }
    const std::size_t rest = count - done;
    if (rest == 0) return;
    switch ((rest + W - 1) / W) {
        case 4: simhash_vectors<V, 4>(v, n, family, first + done, rest, first_component, out + done); break;
        case 3: simhash_vectors<V, 3>(v, n, family, first + done, rest, first_component, out + done); break;
        case 2: simhash_vectors<V, 2>(v, n, family, first + done, rest, first_component, out + done); break;
        default: simhash_vectors<V, 1>(v, n, family, first + done, rest, first_component, out + done); break;
    }
}

// The table entry of target V.
template <class V>
constexpr SimhashKernel simhash_entry() {
    return {V::kIsa, &simhash_window<V>};
}

}  // namespace
}  // namespace lsh::detail
