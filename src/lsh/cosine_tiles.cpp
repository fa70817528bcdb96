#include "lsh/cosine_tiles.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"

namespace lsh {

namespace {

// Components per block of the float32 product; the slack counts the
// roundings of exactly this blocking.
constexpr std::size_t kBlockComponents = 128;
// Rows per task of the preparation.
constexpr std::size_t kPrepareRows = 256;

double gamma(double k, double unit) { return k * unit / (1.0 - k * unit); }

bool in_place(const RowMatrix& rows) {
    return rows.type == ElementType::float32 && rows.col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
           rows.row_stride % static_cast<std::ptrdiff_t>(sizeof(float)) == 0 &&
           reinterpret_cast<std::uintptr_t>(rows.data) % alignof(float) == 0;
}

}  // namespace

double cosine_slack(std::size_t d) noexcept {
    const std::size_t blocks = (d + kBlockComponents - 1) / kBlockComponents;
    const double k32 = static_cast<double>(std::min(d, kBlockComponents) + blocks - 1);
    const double k64 = static_cast<double>(2 * d + 8);
    return (gamma(k32, 0x1p-24) + 4.0 * gamma(k64, 0x1p-53)) * (1.0 + 0x1p-20) + 0x1p-48;
}

void view_cosine_rows(const RowMatrix& rows, unsigned threads, CosineRows& out) {
    const std::size_t n = rows.rows;
    const std::size_t d = rows.cols;
    out.n = n;
    out.d = d;
    if (in_place(rows)) {
        out.base = reinterpret_cast<const float*>(rows.data);
        out.stride = rows.row_stride / static_cast<std::ptrdiff_t>(sizeof(float));
        return;
    }
    out.owned.resize(checked_product(n, d));
    out.base = out.owned.data();
    out.stride = static_cast<std::ptrdiff_t>(d);
    const std::size_t tasks = (n + kPrepareRows - 1) / kPrepareRows;
    parallel_for(tasks, worker_count(tasks, threads), [&](std::size_t task, unsigned) {
        const std::size_t end = std::min(n, (task + 1) * kPrepareRows);
        for (std::size_t r = task * kPrepareRows; r < end; ++r) read_row(rows, r, out.owned.data() + r * d);
    });
}

void prepare_cosine_rows(const RowMatrix& rows, const CosineKernels& dots, const BatchKernels* product,
                         unsigned threads, CosineRows& out) {
    view_cosine_rows(rows, threads, out);
    const std::size_t n = rows.rows;
    const std::size_t d = rows.cols;
    out.self.resize(n);
    out.inverse.assign(n, 0.0);
    out.fast.assign(n, 0);
    const std::size_t tasks = (n + kPrepareRows - 1) / kPrepareRows;
    parallel_for(tasks, worker_count(tasks, threads), [&](std::size_t task, unsigned) {
        const std::size_t first = task * kPrepareRows;
        const std::size_t count = std::min(kPrepareRows, n - first);
        std::int64_t index[kPrepareRows];
        for (std::size_t k = 0; k < count; ++k) index[k] = static_cast<std::int64_t>(first + k);
        dots.dots(out.base, out.stride, out.base, out.stride, d, index, index, count, out.self.data() + first);
        if (product == nullptr) return;
        for (std::size_t r = first; r < first + count; ++r) {
            double magnitude = 0.0;
            const bool special = product->measure(out.row(r), d, &magnitude);
            // Norms in [2^-30, 2^50]: no overflow, negligible underflow.
            const bool in_range = out.self[r] >= 0x1p-60 && out.self[r] <= 0x1p100;  // false for NaN
            if (special || !in_range) continue;
            out.fast[r] = 1;
            out.inverse[r] = 1.0 / std::sqrt(out.self[r]);
        }
    });
}

std::size_t pack_rows(const BatchKernels& kernels, const CosineRows& rows, std::size_t first, std::size_t count,
                      TileScratch& s) {
    const std::size_t d = rows.d;
    const std::size_t mr = kernels.mr;
    const std::size_t padded = (count + mr - 1) / mr * mr;
    s.packed.resize(padded * d);
    s.block.resize(mr * d);
    for (std::size_t b = 0; b < padded; b += mr) {
        for (std::size_t k = 0; k < mr; ++k) {
            float* row = s.block.data() + k * d;
            const std::size_t r = first + b + k;
            if (b + k < count && rows.fast[r] != 0) {
                std::memcpy(row, rows.row(r), d * sizeof(float));
            } else {
                std::fill(row, row + d, 0.0f);
            }
        }
        kernels.interleave(s.block.data(), d, s.packed.data() + b * d);
    }
    return padded;
}

std::size_t pack_columns(const BatchKernels& kernels, const CosineRows& rows, std::size_t first, std::size_t count,
                         float* out) {
    const std::size_t d = rows.d;
    const std::size_t nr = kernels.nr;
    const std::size_t padded = (count + nr - 1) / nr * nr;
    for (std::size_t p = 0; p < padded; p += nr) {
        float* panel = out + p * d;
        for (std::size_t j = 0; j < nr; ++j) {
            const std::size_t r = first + p + j;
            if (p + j < count && rows.fast[r] != 0) {
                const float* x = rows.row(r);
                for (std::size_t i = 0; i < d; ++i) panel[i * nr + j] = x[i];
            } else {
                for (std::size_t i = 0; i < d; ++i) panel[i * nr + j] = 0.0f;
            }
        }
    }
    return padded;
}

void tile_product(const BatchKernels& kernels, std::size_t d, std::size_t rows, const float* panels,
                  std::size_t columns, TileScratch& s) {
    const std::size_t mr = kernels.mr;
    const std::size_t nr = kernels.nr;
    const std::size_t padded = (rows + mr - 1) / mr * mr;
    s.product.resize(padded * columns);
    for (std::size_t k0 = 0; k0 < d; k0 += kBlockComponents) {
        const std::size_t kc = std::min(kBlockComponents, d - k0);
        for (std::size_t p = 0; p < columns; p += nr) {
            const float* panel = panels + p * d + k0 * nr;
            for (std::size_t r = 0; r < padded; r += mr) {
                kernels.micro(std::min(mr, rows - r), s.packed.data() + r * d + k0 * mr, panel,
                              s.product.data() + r * columns + p, columns, kc, k0 != 0);
            }
        }
    }
}

}  // namespace lsh
