// Many rows per call: the batch forms of normalisation, SimHash signatures,
// canonical digests and signature comparison. Row by row, every result is
// exactly what the per-vector function gives for that row.
//
// SimHash signatures of a batch
// -----------------------------
// Bit w of family u for a row x of n components is 1 when the ordered double
// sum S64 = (((-0.0 + s_0 x_0) + s_1 x_1) + ...) is > 0, with s_i = +-1 from
// the counter-based generator. For a batch the signs are laid out once as a
// +-1 matrix and applied to every row as a float32 matrix product, and the
// product decides every bit that is clearly away from zero:
//
//   Let S be the exact sum and A = sum |x_i|. The products s_i x_i are exact
//   in both precisions (the x_i are floats, s_i = +-1), so both S64 and the
//   float32 sum S32 are sums of the same n exact terms, each computed with
//   n - 1 rounded additions in some order. For any order, with unit roundoff
//   u and g(k, u) = k u / (1 - k u) (k u < 1), the error of such a sum is at
//   most g(n - 1, u) * A (Higham, Accuracy and Stability of Numerical
//   Algorithms, 2nd ed., section 4.2; with gradual underflow an addition
//   whose result is subnormal is exact, so the bound holds there too). So
//       |S32 - S| <= g(n - 1, 2^-24) A,   |S64 - S| <= g(n - 1, 2^-53) A.
//   If S32 > T = (g(n - 1, 2^-24) + g(n - 1, 2^-53)) A, then
//       S >= S32 - g(n - 1, 2^-24) A > g(n - 1, 2^-53) A >= 0, and
//       S64 >= S - g(n - 1, 2^-53) A > 0: the bit is 1.
//   Symmetrically S32 < -T gives S64 < 0: the bit is 0. Only when
//   |S32| <= T is the bit recomputed as the ordered double sum itself.
//
// The engine's float32 product is blocked: each block of b components is
// summed from zero in order and the block sums are added one after the
// other, so every term passes through at most k = (b - 1) + (blocks - 1)
// roundings and the same argument (Higham, lemma 3.3) gives the sharper
// |S32 - S| <= g(k, 2^-24) A; it uses T = (g(k, 2^-24) + g(n - 1, 2^-53)) A.
// With b = 128 and n = 1536, k = 138 instead of 1535: about 0.02 % of the
// bits of unit vectors fall inside T.
//
// The engine evaluates T with A computed in double and the factor enlarged
// by 2^-20, which covers the relative error of computing A (at most
// g(n - 1, 2^-53) < 2^-30 for the lengths taken this way) and of the few
// operations forming T. The bound needs round-to-nearest and no
// flush-to-zero, which every worker thread sets for itself. Rows that hold a
// NaN, an infinity or a subnormal, rows whose A could overflow float32
// partial sums (A > 2^126), and lengths above kFastPathMaxLength take the
// exact path whole, through the per-vector kernels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/batch_rows.hpp"
#include "lsh/cpu.hpp"
#include "lsh/simhash.hpp"

namespace lsh {

// The sizes of a signature run after the floors, and of its outputs.
struct SimhashShape {
    std::uint64_t families = 0;      // F >= 1
    std::uint64_t bits = 0;          // B >= 64
    std::uint64_t hex_chars = 0;     // ceil(B / 4)
    std::uint64_t band_width = 0;    // hex characters per band
    std::uint64_t band_count = 0;    // bands per family, K
    std::uint64_t family_bytes = 0;  // ceil(B / 8)
    std::uint64_t row_bytes = 0;     // F * ceil(B / 8)
};

// Applies the floors and limits of the per-vector function (panics with
// "capacity overflow" where it does) and sizes the packed codes.
SimhashShape simhash_shape(std::uint64_t families, std::uint64_t bits, std::uint64_t bands);

// Longest rows taken through the float32 product; longer rows are summed
// exactly whole.
inline constexpr std::size_t kFastPathMaxLength = 65536;

// Writes rows.rows * shape.row_bytes bytes to `codes`: for row r, family u,
// the bits of the signature packed most significant first into
// shape.family_bytes bytes, padding bits zero. Runs on up to `threads`
// threads; the result does not depend on the thread count or the kernel.
void simhash_batch(const RowMatrix& rows, const SimhashShape& shape, std::uint8_t* codes, unsigned threads);
// The same with the kernels of one instruction set (for tests and
// benchmarks); panics when this CPU cannot run them.
void simhash_batch(const RowMatrix& rows, const SimhashShape& shape, std::uint8_t* codes, unsigned threads, Isa isa);

// The instruction set of the kernels the batch functions use.
const char* batch_kernels_name() noexcept;

// Band keys from packed codes (n rows): for row r, family u, band k,
// out[(r * F + u) * K + k]. As integers (band_width <= 16) or as the
// band_width lowercase hex characters of the band text.
void band_values(const std::uint8_t* codes, std::size_t n, const SimhashShape& shape, std::uint64_t* out);
void band_texts(const std::uint8_t* codes, std::size_t n, const SimhashShape& shape, char* out);

// rows.rows * rows.cols floats: each row normalised as normalize_vector does.
void normalize_batch(const RowMatrix& rows, float* out, unsigned threads);

// rows.rows * 64 characters: each row's canonical SHA-256 digest in hex.
void sha256_batch(const RowMatrix& rows, char* out, unsigned threads);

// Differing bits between `code` and each of n codes of `bytes` bytes.
void hamming_one_to_many(const std::uint8_t* code, const std::uint8_t* codes, std::size_t n, std::size_t bytes,
                         std::int64_t* out, unsigned threads);
// Differing bits between a[i] and b[i] for i < n.
void hamming_pairs(const std::uint8_t* a, const std::uint8_t* b, std::size_t n, std::size_t bytes, std::int64_t* out,
                   unsigned threads);

// cosine_from_hamming(d[i], total_bits) for i < n, d[i] the native uint64 at
// distances + 8 i (any alignment).
void cosine_batch(const std::uint8_t* distances, std::size_t n, std::uint64_t total_bits, double* out);

}  // namespace lsh
