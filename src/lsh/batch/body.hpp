// The batch kernels, written once over a target's operations (a struct of
// lsh/simd: Scalar, Avx2, Avx512 or Neon). Included after
// lsh/batch/kernels.hpp by batch/kernels.cpp and, inside their target
// regions, by the per-target units simd/avx2.cpp, simd/avx512.cpp and
// simd/neon.cpp (see simd/target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/batch/kernels.hpp"

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
template <class V, std::size_t MR, std::size_t NV, std::size_t Stride>
void micro_block(const float* a, const float* b, float* c, std::size_t ldc, std::size_t kc, bool accumulate) {
    constexpr std::size_t W = V::kF32Lanes;
    constexpr std::size_t NR = NV * W;
    typename V::F32 acc[MR][NV];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < MR; ++r) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < NV; ++v) acc[r][v] = V::zero_f32();
    }
    for (std::size_t k = 0; k < kc; ++k) {
        typename V::F32 column[NV];
#pragma GCC unroll 4
        for (std::size_t v = 0; v < NV; ++v) column[v] = V::load_f32(b + k * NR + v * W);
#pragma GCC unroll 16
        for (std::size_t r = 0; r < MR; ++r) {
            const typename V::F32 x = V::broadcast_f32(a + k * Stride + r);
#pragma GCC unroll 4
            for (std::size_t v = 0; v < NV; ++v) acc[r][v] = V::mul_add_f32(x, column[v], acc[r][v]);
        }
    }
    if (accumulate) {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < MR; ++r) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < NV; ++v)
                V::store_f32(c + r * ldc + v * W, V::add_f32(V::load_f32(c + r * ldc + v * W), acc[r][v]));
        }
    } else {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < MR; ++r) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < NV; ++v) V::store_f32(c + r * ldc + v * W, acc[r][v]);
        }
    }
}

// The block for the first `rows` rows of a packed block of MR rows (the
// last block of a tile may be short): the smallest instantiation that covers
// them, so that a batch of one row does not pay for MR.
template <class V, std::size_t MR, std::size_t NV>
void micro_rows(std::size_t rows, const float* a, const float* b, float* c, std::size_t ldc, std::size_t kc,
                bool accumulate) {
    if (rows <= 1) return micro_block<V, 1, NV, MR>(a, b, c, ldc, kc, accumulate);
    if (rows <= 2) return micro_block<V, 2, NV, MR>(a, b, c, ldc, kc, accumulate);
    if (rows <= 4 && MR > 4) return micro_block<V, 4, NV, MR>(a, b, c, ldc, kc, accumulate);
    if (rows <= 8 && MR > 8) return micro_block<V, 8, NV, MR>(a, b, c, ldc, kc, accumulate);
    micro_block<V, MR, NV, MR>(a, b, c, ldc, kc, accumulate);
}

// Up to G * kLanes ordered double sums side by side. Each lane walks its own
// row and its own sign column, one component per step in increasing order,
// and adds sign * x with one rounding: fma(+-1, x, acc) is acc + (+-x)
// rounded once, exactly the addition of the definition. Lanes beyond
// `count` repeat the first (row, column) pair and are not stored.
template <class V, std::size_t G>
void exact_group(const float* tile, std::size_t mr, const float* signs, std::size_t nr, std::size_t d,
                 const std::uint32_t* rows, const std::uint32_t* cols, std::size_t count, std::uint8_t* out) {
    constexpr std::size_t L = V::kF64Lanes;
    alignas(64) std::int32_t x_start[G * L];
    alignas(64) std::int32_t s_start[G * L];
    for (std::size_t j = 0; j < G * L; ++j) {
        const std::size_t k = j < count ? j : 0;
        const std::size_t r = rows[k];
        const std::size_t col = cols[k];
        x_start[j] = static_cast<std::int32_t>((r / mr) * d * mr + r % mr);
        s_start[j] = static_cast<std::int32_t>((col / nr) * d * nr + col % nr);
    }
    typename V::I32 x_at[G];
    typename V::I32 s_at[G];
    typename V::F64 sum[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        x_at[g] = V::load_i32(x_start + g * L);
        s_at[g] = V::load_i32(s_start + g * L);
        sum[g] = V::splat_f64(-0.0);
    }
    const typename V::I32 x_step = V::splat_i32(static_cast<std::int32_t>(mr));
    const typename V::I32 s_step = V::splat_i32(static_cast<std::int32_t>(nr));
    for (std::size_t i = 0; i < d; ++i) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const typename V::F64 x = V::gather_widen_f32(tile, x_at[g]);
            const typename V::F64 s = V::gather_widen_f32(signs, s_at[g]);
            sum[g] = V::mul_add_f64(s, x, sum[g]);
            x_at[g] = V::add_i32(x_at[g], x_step);
            s_at[g] = V::add_i32(s_at[g], s_step);
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        const unsigned mask = V::positive_bits_f64(sum[g]);
        for (std::size_t l = 0; l < L; ++l) {
            const std::size_t j = g * L + l;
            if (j < count) out[j] = static_cast<std::uint8_t>((mask >> l) & 1u);
        }
    }
}

template <class V, std::size_t G>
void exact_sums(const float* tile, std::size_t mr, const float* signs, std::size_t nr, std::size_t d,
                const std::uint32_t* rows, const std::uint32_t* cols, std::size_t count, std::uint8_t* out) {
    constexpr std::size_t kGroup = G * V::kF64Lanes;
    std::size_t done = 0;
    for (; count - done >= kGroup; done += kGroup)
        exact_group<V, G>(tile, mr, signs, nr, d, rows + done, cols + done, kGroup, out + done);
    // The rest in as few lanes as cover it.
    while (done < count) {
        const std::size_t rest = count - done;
        if (rest > kGroup / 2 || G == 1) {
            const std::size_t n = rest < kGroup ? rest : kGroup;
            exact_group<V, G>(tile, mr, signs, nr, d, rows + done, cols + done, n, out + done);
            done += n;
        } else {
            const std::size_t n = rest < V::kF64Lanes ? rest : V::kF64Lanes;
            exact_group<V, 1>(tile, mr, signs, nr, d, rows + done, cols + done, n, out + done);
            done += n;
        }
    }
}

template <class V>
std::size_t decide_sums(const float* sums, std::size_t n, float limit, std::uint64_t* ones, std::uint64_t* unsure) {
    constexpr std::size_t W = V::kF32Lanes;
    const std::size_t words = (n + 63) / 64;
    for (std::size_t k = 0; k < words; ++k) ones[k] = unsure[k] = 0;
    std::size_t count = 0;
    std::size_t c = 0;
    const typename V::F32 high = V::broadcast_f32(&limit);
    const float negative = -limit;
    const typename V::F32 low = V::broadcast_f32(&negative);
    for (; c + W <= n; c += W) {
        const typename V::F32 v = V::load_f32(sums + c);
        const std::uint64_t over = V::greater_bits_f32(v, high);
        const std::uint64_t between = ~(over | V::less_bits_f32(v, low)) & ((std::uint64_t{1} << (W - 1) << 1) - 1);
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

// The table entry of target V: register blocks of MR rows by NV vectors of
// columns, four vectors of ordered sums at a time.
template <class V, std::size_t MR, std::size_t NV>
constexpr BatchKernels batch_entry() {
    return {.isa = V::kIsa,
            .mr = MR,
            .nr = NV * V::kF32Lanes,
            .micro = &micro_rows<V, MR, NV>,
            .measure = &measure_row,
            .interleave = &interleave_rows<MR>,
            .decide = &decide_sums<V>,
            .exact = &exact_sums<V, 4>};
}

}  // namespace
}  // namespace lsh::detail
