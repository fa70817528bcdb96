// The per-instruction-set kernels of the batch engine.
//
// Two kernels do the arithmetic of a batch:
//
//   * `micro` multiplies a packed block of rows with a packed block of the
//     +-1 sign matrix in float32 (a register-blocked matrix-product step of
//     `mr` rows by `nr` columns over `kc` components). It may sum in any
//     order: its results only decide the bits that are far from zero.
//   * `exact` recomputes single (row, column) sums as the ordered double sum
//     that defines a signature bit, many of them side by side, one per lane.
//
// Layouts. A tile of rows is packed in blocks of `mr` rows: element (r, i)
// of the tile sits at (r / mr) * d * mr + i * mr + r % mr. The sign matrix is
// packed in panels of `nr` columns: the sign of column c for component i sits
// at (c / nr) * d * nr + i * nr + c % nr, as +1.0f, -1.0f, or 0.0f in the
// padding columns of the last panel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"
#include "lsh/simd/target.hpp"

namespace lsh {

struct BatchKernels {
    Isa isa;
    std::size_t mr;  // rows per register block
    std::size_t nr;  // columns per panel

    // For r < rows (at most mr), j < nr: the block sum P = sum over k < kc
    // of a[k * mr + r] * b[k * nr + j], summed from zero in order of k, then
    // c[r * ldc + j] = accumulate ? c[r * ldc + j] + P : P.
    void (*micro)(std::size_t rows, const float* a, const float* b, float* c, std::size_t ldc, std::size_t kc,
                  bool accumulate);

    // sum |x_i| of a row into *magnitude (in any order); returns whether
    // the row holds a NaN, an infinity or a subnormal.
    bool (*measure)(const float* x, std::size_t n, double* magnitude);

    // Packs mr rows of n components, row k at block + k * n, into one block
    // of the packed layout.
    void (*interleave)(const float* block, std::size_t n, float* packed);

    // Decides n sums against +-limit: bit c of ones (64 per word, least
    // significant first) is set when sums[c] > limit, and of unsure when
    // -limit <= sums[c] <= limit; returns the number of unsure sums. Writes
    // (n + 63) / 64 words to each.
    std::size_t (*decide)(const float* sums, std::size_t n, float limit, std::uint64_t* ones, std::uint64_t* unsure);

    // For each j < count: out[j] = 1 when the sum over i = 0 .. d-1, in this
    // order and in double precision starting from -0.0, of
    // sign(cols[j], i) * x(rows[j], i) is > 0, else 0; x and the signs are
    // read from the packed tile and sign panels described above.
    void (*exact)(const float* tile, std::size_t mr, const float* signs, std::size_t nr, std::size_t d,
                  const std::uint32_t* rows, const std::uint32_t* cols, std::size_t count, std::uint8_t* out);
};

// The best kernels this CPU supports, chosen once per process.
const BatchKernels& batch_kernels() noexcept;
// The kernels of one target, or nullptr when the CPU cannot run them.
const BatchKernels* find_batch_kernels(Isa isa) noexcept;

namespace detail {
extern const BatchKernels kBatchScalar;
#if LSH_HAVE_X86_TARGETS
extern const BatchKernels kBatchAvx2;
extern const BatchKernels kBatchAvx512;
#endif
#if LSH_HAVE_NEON_TARGETS
extern const BatchKernels kBatchNeon;
#endif
}  // namespace detail

}  // namespace lsh
