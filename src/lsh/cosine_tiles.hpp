// Rows prepared for the exact cosines, and the float32 tile products that
// decide most comparisons (the bound is derived in cosine.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lsh/batch/kernels.hpp"
#include "lsh/batch_rows.hpp"
#include "lsh/cosine/kernels.hpp"

namespace lsh {

// Rows as float32 (in place when the input already is float32 rows of
// contiguous components, else converted once), with their exact self-dots
// and, for the rows that may take the float32 product, 1 / sqrt(self-dot).
struct CosineRows {
    const float* base = nullptr;
    std::ptrdiff_t stride = 0;  // floats from one row to the next
    std::size_t n = 0;
    std::size_t d = 0;
    std::vector<float> owned;
    std::vector<double> self;
    std::vector<double> inverse;     // 0 for rows that take the exact path
    std::vector<std::uint8_t> fast;  // 1: the row may take the product

    const float* row(std::size_t r) const noexcept { return base + static_cast<std::ptrdiff_t>(r) * stride; }
};

// Only the float32 view of the rows (self, inverse and fast left empty).
void view_cosine_rows(const RowMatrix& rows, unsigned threads, CosineRows& out);

// The view, the self-dots and, with `product`, the rows' classification,
// on up to `threads` threads.
// With `product`, also classifies each row for the product (needs the
// default floating-point environment, as every worker has).
void prepare_cosine_rows(const RowMatrix& rows, const CosineKernels& dots, const BatchKernels* product,
                         unsigned threads, CosineRows& out);

// The slack D of cosine.hpp for rows of d components: the computed cosine
// of two product rows lies in [clamp(v - D), clamp(v + D)], v = (P * ia) * ib.
double cosine_slack(std::size_t d) noexcept;

// Scratch of one worker for tile products.
struct TileScratch {
    std::vector<float> packed;   // rows in blocks of mr
    std::vector<float> block;    // mr rows as read
    std::vector<float> panels;   // rows as columns, in panels of nr
    std::vector<float> product;  // the float32 sums
};

// Packs rows first .. first + count - 1 in the kernel's row layout (blocks
// of mr rows, see batch/kernels.hpp); rows that do not take the product are
// packed as zeros. Returns count rounded up to mr.
std::size_t pack_rows(const BatchKernels& kernels, const CosineRows& rows, std::size_t first, std::size_t count,
                      TileScratch& s);

// Packs rows first .. first + count - 1 as columns of panels of nr (zeros
// for rows that do not take the product and for the padding) into `out`,
// which must hold round_up(count, nr) * d floats. Returns that column count.
std::size_t pack_columns(const BatchKernels& kernels, const CosineRows& rows, std::size_t first, std::size_t count,
                         float* out);

// s.product[r * columns + c] = the float32 dot of packed row r (r < rows)
// with packed column c, for `columns` (a multiple of nr) packed columns.
void tile_product(const BatchKernels& kernels, std::size_t d, std::size_t rows, const float* panels,
                  std::size_t columns, TileScratch& s);

}  // namespace lsh
