// The batch kernels, written once for every target over a small "ops"
// struct. Included by the per-target translation units inside their target
// region (the pattern is described in simd/target.hpp), after
// lsh/batch_kernels.hpp.
//
// A target supplies an ops struct with:
//   F, kFloats          a vector of kFloats floats
//   zero(), load(p), store(p, v), broadcast(p), add(a, b),
//   fmadd(a, b, c) = a * b + c
//   greater_mask(v, limit), less_mask(v, limit): one bit per float of a
//                       vector, least significant first
//   D, I, kLanes        a vector of kLanes doubles and of kLanes int32 offsets
//   offsets(p), advance(i, j), splat_offset(n), gather_widen(base, i),
//   splat(x), fmadd_pd(a, b, c), positive_mask(d)
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/batch_kernels.hpp"

namespace lsh::detail {
// Every target compiles its own copy; see simd/target.hpp.
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

// sum |x_i| over a row, in eight partial sums (the order only enters through
// the sum's rounding error, which the engine's margin covers), and whether
// the row holds a NaN, an infinity or a subnormal, found on the bits: NaN
// and infinities have all exponent bits set, subnormals none but some
// mantissa bits. Two plain loops without branches, which the compiler runs
// on the target's vectors.
inline bool measure_row(const float* x, std::size_t n, double* magnitude) {
    double partial[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (std::size_t k = 0; k < 8; ++k) partial[k] += static_cast<double>(__builtin_fabsf(x[i + k]));
    }
    for (; i < n; ++i) partial[0] += static_cast<double>(__builtin_fabsf(x[i]));
    *magnitude = ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
                 ((partial[4] + partial[5]) + (partial[6] + partial[7]));
    std::uint32_t special = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t bits = __builtin_bit_cast(std::uint32_t, x[j]) & 0x7FFFFFFFu;
        special |=
            static_cast<std::uint32_t>(bits >= 0x7F800000u) | static_cast<std::uint32_t>(bits - 1u < 0x007FFFFFu);
    }
    return special != 0;
}

// Interleaves mr rows of n components (row k at block + k * n) into the
// packed layout, in runs of 16 components so that the writes of a run stay
// within a few cache lines.
template <std::size_t MR>
void interleave_rows(const float* block, std::size_t n, float* packed) {
    for (std::size_t i0 = 0; i0 < n; i0 += 16) {
        const std::size_t end = n - i0 < 16 ? n : i0 + 16;
        for (std::size_t k = 0; k < MR; ++k) {
            const float* row = block + k * n;
            for (std::size_t i = i0; i < end; ++i) packed[i * MR + k] = row[i];
        }
    }
}

// One register block: MR rows by NV vectors of columns over kc components,
// the packed rows `Stride` apart per component. Each sum starts from zero
// and adds the block's kc exact products (one factor is +-1 or 0) in
// component order; the block's sum is then added to c (or stored, for the
// first block). The engine's error bound counts exactly these roundings:
// kc - 1 within a block, one per later block.
template <class Ops, std::size_t MR, std::size_t NV, std::size_t Stride>
void micro_block(const float* a, const float* b, float* c, std::size_t ldc, std::size_t kc, bool accumulate) {
    constexpr std::size_t W = Ops::kFloats;
    constexpr std::size_t NR = NV * W;
    typename Ops::F acc[MR][NV];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < MR; ++r) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < NV; ++v) acc[r][v] = Ops::zero();
    }
    for (std::size_t k = 0; k < kc; ++k) {
        typename Ops::F column[NV];
#pragma GCC unroll 4
        for (std::size_t v = 0; v < NV; ++v) column[v] = Ops::load(b + k * NR + v * W);
#pragma GCC unroll 16
        for (std::size_t r = 0; r < MR; ++r) {
            const typename Ops::F x = Ops::broadcast(a + k * Stride + r);
#pragma GCC unroll 4
            for (std::size_t v = 0; v < NV; ++v) acc[r][v] = Ops::fmadd(x, column[v], acc[r][v]);
        }
    }
    if (accumulate) {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < MR; ++r) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < NV; ++v)
                Ops::store(c + r * ldc + v * W, Ops::add(Ops::load(c + r * ldc + v * W), acc[r][v]));
        }
    } else {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < MR; ++r) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < NV; ++v) Ops::store(c + r * ldc + v * W, acc[r][v]);
        }
    }
}

// The block for the first `rows` rows of a packed block of MR rows (the
// last block of a tile may be short): the smallest instantiation that covers
// them, so that a batch of one row does not pay for MR.
template <class Ops, std::size_t MR, std::size_t NV>
void micro_rows(std::size_t rows, const float* a, const float* b, float* c, std::size_t ldc, std::size_t kc,
                bool accumulate) {
    if (rows <= 1) return micro_block<Ops, 1, NV, MR>(a, b, c, ldc, kc, accumulate);
    if (rows <= 2) return micro_block<Ops, 2, NV, MR>(a, b, c, ldc, kc, accumulate);
    if (rows <= 4 && MR > 4) return micro_block<Ops, 4, NV, MR>(a, b, c, ldc, kc, accumulate);
    if (rows <= 8 && MR > 8) return micro_block<Ops, 8, NV, MR>(a, b, c, ldc, kc, accumulate);
    micro_block<Ops, MR, NV, MR>(a, b, c, ldc, kc, accumulate);
}

// Up to G * kLanes ordered double sums side by side. Each lane walks its own
// row and its own sign column, one component per step in increasing order,
// and adds sign * x with one rounding: fma(+-1, x, acc) is acc + (+-x)
// rounded once, exactly the addition of the definition. Lanes beyond
// `count` repeat the first (row, column) pair and are not stored.
template <class Ops, std::size_t G>
void exact_group(const float* tile, std::size_t mr, const float* signs, std::size_t nr, std::size_t d,
                 const std::uint32_t* rows, const std::uint32_t* cols, std::size_t count, std::uint8_t* out) {
    constexpr std::size_t L = Ops::kLanes;
    alignas(64) std::int32_t x_start[G * L];
    alignas(64) std::int32_t s_start[G * L];
    for (std::size_t j = 0; j < G * L; ++j) {
        const std::size_t k = j < count ? j : 0;
        const std::size_t r = rows[k];
        const std::size_t col = cols[k];
        x_start[j] = static_cast<std::int32_t>((r / mr) * d * mr + r % mr);
        s_start[j] = static_cast<std::int32_t>((col / nr) * d * nr + col % nr);
    }
    typename Ops::I x_at[G];
    typename Ops::I s_at[G];
    typename Ops::D sum[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        x_at[g] = Ops::offsets(x_start + g * L);
        s_at[g] = Ops::offsets(s_start + g * L);
        sum[g] = Ops::splat(-0.0);
    }
    const typename Ops::I x_step = Ops::splat_offset(static_cast<std::int32_t>(mr));
    const typename Ops::I s_step = Ops::splat_offset(static_cast<std::int32_t>(nr));
    for (std::size_t i = 0; i < d; ++i) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const typename Ops::D x = Ops::gather_widen(tile, x_at[g]);
            const typename Ops::D s = Ops::gather_widen(signs, s_at[g]);
            sum[g] = Ops::fmadd_pd(s, x, sum[g]);
            x_at[g] = Ops::advance(x_at[g], x_step);
            s_at[g] = Ops::advance(s_at[g], s_step);
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        const unsigned mask = Ops::positive_mask(sum[g]);
        for (std::size_t l = 0; l < L; ++l) {
            const std::size_t j = g * L + l;
            if (j < count) out[j] = static_cast<std::uint8_t>((mask >> l) & 1u);
        }
    }
}

template <class Ops, std::size_t G>
void exact_sums(const float* tile, std::size_t mr, const float* signs, std::size_t nr, std::size_t d,
                const std::uint32_t* rows, const std::uint32_t* cols, std::size_t count, std::uint8_t* out) {
    constexpr std::size_t kGroup = G * Ops::kLanes;
    std::size_t done = 0;
    for (; count - done >= kGroup; done += kGroup)
        exact_group<Ops, G>(tile, mr, signs, nr, d, rows + done, cols + done, kGroup, out + done);
    // The rest in as few lanes as cover it.
    while (done < count) {
        const std::size_t rest = count - done;
        if (rest > kGroup / 2 || G == 1) {
            const std::size_t n = rest < kGroup ? rest : kGroup;
            exact_group<Ops, G>(tile, mr, signs, nr, d, rows + done, cols + done, n, out + done);
            done += n;
        } else {
            const std::size_t n = rest < Ops::kLanes ? rest : Ops::kLanes;
            exact_group<Ops, 1>(tile, mr, signs, nr, d, rows + done, cols + done, n, out + done);
            done += n;
        }
    }
}

template <class Ops>
std::size_t decide_sums(const float* sums, std::size_t n, float limit, std::uint64_t* ones, std::uint64_t* unsure) {
    constexpr std::size_t W = Ops::kFloats;
    const std::size_t words = (n + 63) / 64;
    for (std::size_t k = 0; k < words; ++k) ones[k] = unsure[k] = 0;
    std::size_t count = 0;
    std::size_t c = 0;
    const typename Ops::F high = Ops::broadcast(&limit);
    const float negative = -limit;
    const typename Ops::F low = Ops::broadcast(&negative);
    for (; c + W <= n; c += W) {
        const typename Ops::F v = Ops::load(sums + c);
        const std::uint64_t over = Ops::greater_mask(v, high);
        const std::uint64_t between = ~(over | Ops::less_mask(v, low)) & ((std::uint64_t{1} << (W - 1) << 1) - 1);
        ones[c / 64] |= over << (c % 64);
        unsure[c / 64] |= between << (c % 64);
        count += static_cast<std::size_t>(__builtin_popcountll(between));
    }
    for (; c < n; ++c) {
        const bool over = sums[c] > limit;
        const bool between = !over && !(sums[c] < negative);
        ones[c / 64] |= std::uint64_t{over} << (c % 64);
        unsure[c / 64] |= std::uint64_t{between} << (c % 64);
        count += between;
    }
    return count;
}

}  // namespace
}  // namespace lsh::detail
