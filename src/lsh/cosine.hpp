// Exact cosines between float32 rows, the same double on every machine.
//
//   dot(a, b)    = the ordered double sum s = +0.0; s = s + (double)a[k] *
//                  (double)b[k] for k = 0 .. d-1 (see cosine/kernels.hpp
//                  for why lanes across pairs and fused multiply-add keep its
//                  bits)
//   cosine(a, b) = dot(a, b) / sqrt(dot(a, a) * dot(b, b)) in double,
//                  clamped to [-1, 1]; 0.0 when either self-dot is 0; a NaN
//                  result (a row with a NaN or an infinity) is the one quiet
//                  NaN std::numeric_limits<double>::quiet_NaN().
//
// Rows are read as the engine reads them (RowMatrix, rounded to float32)
// and are not normalised here.
//
// Deciding with a float32 product
// -------------------------------
// similar_pairs and nearest_cells compare cosines with a threshold. They
// compute every pair's dot in float32 first, with the engine's blocked
// product kernel, and recompute exactly only the pairs the product cannot
// decide. For rows a, b of length d let S be the exact dot, N = |a| |b| the
// product of the exact Euclidean norms, M = sum |a_i b_i| <= N
// (Cauchy-Schwarz), u = 2^-24, w = 2^-53, g(k, e) = k e / (1 - k e).
//
//   float32 product P. The kernel sums each block of at most 128 components
//   from zero in component order (fused or separate multiply-add) and adds
//   the block sums one after the other. A term passes through at most one
//   rounding per step from its own (its product's rounding, or the fused
//   step's) to the end of its block, so at most min(d, 128), and one per
//   later block: k32 = min(d, 128) + blocks - 1 roundings, each a factor
//   (1 + e), |e| <= u. Hence (Higham, Accuracy and Stability of Numerical
//   Algorithms, 2nd ed., lemma 3.1 and section 3.1)
//       |P - S| <= g(k32, u) M + nu,
//   where nu bounds underflow: a rounding whose result is subnormal has an
//   absolute error of at most 2^-150 instead (an addition with a subnormal
//   result is exact), at most d + blocks <= 2d of them, so nu <= d 2^-148.
//   Rows are accepted for the product only when their exact norm lies in
//   [2^-30, 2^50] (checked on the self-dot, below): then nu / N <= d 2^-88,
//   and every partial sum stays below (1 + g) 2^100, far from overflow.
//
//   ordered double dot s. The d products are exact; d - 1 additions:
//       |s - S| <= g(d, w) M <= g(d, w) N.
//   The self-dots have nonnegative terms: s_aa = |a|^2 (1 + t), |t| <= g(d, w).
//
//   cosine. c = s / sqrt(s_aa s_bb) with three more roundings: the
//   denominator is N (1 + r), |r| <= g(d + 2, w), so c = (s / N)(1 + q),
//   |q| <= g(2 d + 4, w), and |s / N| <= 1 + g(d, w).
//
//   estimate. v = (P * ia) * ib with ia = 1 / sqrt(s_aa) (two roundings for
//   ia, from s_aa's error g(d, w) halved by the root) is (P / N)(1 + p),
//   |p| <= g(d + 8, w), and |P / N| <= 1 + g(k32, u) + nu / N < 2.
//
//   Together |c - v| <= g(k32, u) + g(d, w) + 1.01 g(2d + 4, w)
//   + 2 g(d + 8, w) + nu / N < g(k32, u) + 4 g(2d + 8, w) + 2^-64 for d below
//   2^24. The engine uses the slack
//       D = (g(k32, u) + 4 g(2d + 8, w)) (1 + 2^-20) + 2^-48,
//   the last term covering the few double roundings of forming v +- D (each
//   at most 2^-53 times a value below 4). Clamping is monotone, so
//   clamp(v - D) <= cosine(a, b) <= clamp(v + D). With d = 384 (4 blocks)
//   D is about 7.9e-6.
//
// Rows holding a NaN, an infinity or a subnormal, and rows whose self-dot
// lies outside [2^-60, 2^100], never take the product: every pair with one
// of them is computed exactly. The bound needs round-to-nearest and no
// flush-to-zero, which FloatEnvScope sets on every thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lsh/batch_rows.hpp"
#include "lsh/cpu.hpp"

namespace lsh {

// cosine(a, b) from the three dots, as defined above.
double cosine_from_dots(double ab, double aa, double bb) noexcept;

// The ordered double dot of two rows of d floats (the portable kernel).
double exact_dot(const float* a, const float* b, std::size_t d) noexcept;

// out[i] = cosine(rows[a[i]], rows[b[i]]) for i < count; every index must
// be below rows.rows (checked by the caller).
void cosine_pairs(const RowMatrix& rows, const std::int64_t* a, const std::int64_t* b, std::size_t count, double* out,
                  unsigned threads);
void cosine_pairs(const RowMatrix& rows, const std::int64_t* a, const std::int64_t* b, std::size_t count, double* out,
                  unsigned threads, Isa isa);

// For each row x: the cells c with cosine(x, centroid c) >= best - margin,
// best the largest such cosine, ordered by (-cosine, c), at most max_cells;
// cells[x * max_cells + k] and sims[...] hold them, padded with -1 and NaN.
// A cell whose cosine is NaN is never chosen. rows.cols == centroids.cols.
void nearest_cells(const RowMatrix& rows, const RowMatrix& centroids, double margin, std::size_t max_cells,
                   std::int32_t* cells, double* sims, unsigned threads);
void nearest_cells(const RowMatrix& rows, const RowMatrix& centroids, double margin, std::size_t max_cells,
                   std::int32_t* cells, double* sims, unsigned threads, Isa isa);

// Row blocks of similar_pairs: the order in which pairs are considered.
inline constexpr std::size_t kPairBlockRows = 256;

struct SimilarPairs {
    std::vector<std::int64_t> a;
    std::vector<std::int64_t> b;
    std::vector<double> cosine;
    bool complete = true;
};

// Every pair (i, j), i < j, i < owners, with cosine >= threshold
// (-1 <= threshold <= 1, owners <= rows.rows < 2^32), in block order: the
// rows fall into blocks of kPairBlockRows, pairs are taken block pair by
// block pair (I, J), I <= J, I outer, and by (i, j) within one. When more
// than max_pairs pairs qualify, complete is false and the list holds the
// first max_pairs of them, then only those that join two connected
// components of the pairs listed before them (a spanning forest of the
// rest): the components of the listed pairs are those of all qualifying
// pairs.
SimilarPairs similar_pairs(const RowMatrix& rows, double threshold, std::size_t owners, std::size_t max_pairs,
                           unsigned threads);
SimilarPairs similar_pairs(const RowMatrix& rows, double threshold, std::size_t owners, std::size_t max_pairs,
                           unsigned threads, Isa isa);

}  // namespace lsh
