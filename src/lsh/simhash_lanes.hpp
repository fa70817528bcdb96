// The vector SimHash kernel, written once for every target. Included by the
// per-target translation units inside their target region (the pattern is
// described in simd/target.hpp), after lsh/simhash.hpp.
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
// A target supplies a lanes struct L with:
//   kWidth                        lanes per vector
//   Bits, Sums                    vectors of kWidth uint64 and of kWidth doubles
//   Segment                       what the target keeps per segment
//   Positive                      what its sign step yields for select()
//   load(const uint64_t*), store(uint64_t*, Bits)   aligned to kWidth * 8
//   splat_bits(uint64_t), splat_sums(double), add(Bits, Bits), add(Sums, Sums), xor_bits(Bits, Bits)
//   segment(Bits z)               the state fixed while no lane's low 30 bits wrap
//   positive(Bits z, Segment)     the sign step: which lanes add +v[i]
//   select(Positive, Sums minus, Sums plus)
//   greater_than_zero(Sums)       bit l set when lane l's sum is > 0 (a NaN is not)
// The walk makes one (const) L per call, so L may hold constants set up by its
// constructor; stateless lanes are fine too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/simhash.hpp"

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

template <class L>
struct SimhashLanes {
    static constexpr std::size_t kWidth = L::kWidth;

    // G vectors: bits first .. first + G * kWidth - 1, of which the first
    // `count` are stored.
    template <std::size_t G>
    static void vectors(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
                        std::uint64_t first_component, std::uint8_t* out) {
        const L lanes;
        alignas(64) std::uint64_t scratch[G * kWidth];
        for (std::size_t l = 0; l < G * kWidth; ++l) scratch[l] = projection_seed(family, first + l, 0);
        typename L::Bits seed[G];
        for (std::size_t g = 0; g < G; ++g) seed[g] = lanes.load(scratch + g * kWidth);

        typename L::Sums sum[G];
        typename L::Bits z[G];
        for (std::size_t g = 0; g < G; ++g) sum[g] = lanes.splat_sums(-0.0);
        const typename L::Bits one = lanes.splat_bits(1);

        std::size_t i = 0;
        while (i < n) {
            // A new block of the component index; v[i] is component first_component + i.
            const std::uint64_t index = first_component + i;
            const std::uint64_t offset = index & (kBlock - 1);
            const std::size_t block_end = n - i > kBlock - offset ? i + static_cast<std::size_t>(kBlock - offset) : n;
            const typename L::Bits high = lanes.splat_bits(index - offset);
            const typename L::Bits start = lanes.splat_bits(kSplitMixGolden + offset);
            for (std::size_t g = 0; g < G; ++g) z[g] = lanes.add(lanes.xor_bits(seed[g], high), start);

            while (i < block_end) {
                // A new segment: z >> 30 stays fixed in every lane until `end`.
                for (std::size_t g = 0; g < G; ++g) lanes.store(scratch + g * kWidth, z[g]);
                const std::uint64_t room = steps_before_wrap(scratch, G * kWidth);
                const std::size_t end = block_end - i > room ? i + static_cast<std::size_t>(room) : block_end;
                typename L::Segment segment[G];
                for (std::size_t g = 0; g < G; ++g) segment[g] = lanes.segment(z[g]);
                for (; i < end; ++i) {
                    const typename L::Sums plus = lanes.splat_sums(v[i]);
                    const typename L::Sums minus = lanes.splat_sums(-v[i]);
                    for (std::size_t g = 0; g < G; ++g) {
                        const typename L::Sums term = lanes.select(lanes.positive(z[g], segment[g]), minus, plus);
                        sum[g] = lanes.add(sum[g], term);
                        z[g] = lanes.add(z[g], one);
                    }
                }
            }
        }

        for (std::size_t g = 0; g < G; ++g) {
            const unsigned mask = lanes.greater_than_zero(sum[g]);
            for (std::size_t l = 0; l < kWidth; ++l) {
                const std::size_t k = g * kWidth + l;
                if (k < count) out[k] = static_cast<std::uint8_t>((mask >> l) & 1u);
            }
        }
    }

    // Bits first .. first + count - 1 in runs of four vectors; the last run
    // has one to four vectors, the last of them possibly partial.
    static void window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
                       std::uint64_t first_component, std::uint8_t* out) {
        std::size_t done = 0;
        while (count - done > 4 * kWidth) {
            vectors<4>(v, n, family, first + done, 4 * kWidth, first_component, out + done);
            done += 4 * kWidth;
        }
        const std::size_t rest = count - done;
        if (rest == 0) return;
        switch ((rest + kWidth - 1) / kWidth) {
            case 4: vectors<4>(v, n, family, first + done, rest, first_component, out + done); break;
            case 3: vectors<3>(v, n, family, first + done, rest, first_component, out + done); break;
            case 2: vectors<2>(v, n, family, first + done, rest, first_component, out + done); break;
            default: vectors<1>(v, n, family, first + done, rest, first_component, out + done); break;
        }
    }
};

}  // namespace
}  // namespace lsh::detail
