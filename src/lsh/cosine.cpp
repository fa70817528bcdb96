// The exact cosine of two rows, and cosine_pairs.
#include "lsh/cosine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "lsh/cosine/kernels.hpp"
#include "lsh/cosine_tiles.hpp"
#include "lsh/fp_env.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"

namespace lsh {

namespace {

// Pairs per task.
constexpr std::size_t kPairsPerTask = 512;

}  // namespace

double cosine_from_dots(double ab, double aa, double bb) noexcept {
    if (aa == 0.0 || bb == 0.0) return 0.0;
    const double c = ab / std::sqrt(aa * bb);
    if (std::isnan(c)) return std::numeric_limits<double>::quiet_NaN();
    if (c > 1.0) return 1.0;
    return c < -1.0 ? -1.0 : c;
}

double exact_dot(const float* a, const float* b, std::size_t d) noexcept {
    const std::int64_t zero = 0;
    double out = 0.0;
    detail::kCosineScalar.dots(a, 0, b, 0, d, &zero, &zero, 1, &out);
    return out;
}

void cosine_pairs(const RowMatrix& rows, const std::int64_t* a, const std::int64_t* b, std::size_t count, double* out,
                  unsigned threads) {
    cosine_pairs(rows, a, b, count, out, threads, cosine_kernels().isa);
}

void cosine_pairs(const RowMatrix& rows, const std::int64_t* a, const std::int64_t* b, std::size_t count, double* out,
                  unsigned threads, Isa isa) {
    const CosineKernels* kernels = find_cosine_kernels(isa);
    if (kernels == nullptr) panic(std::string("no kernels for ") + isa_name(isa) + " on this CPU");
    if (count == 0) return;
    const FloatEnvScope fp_env;
    // The self-dots of every row when the pairs outnumber the rows, else
    // those of each pair's rows with the pair.
    const bool every_row = count >= rows.rows;
    CosineRows prepared;
    if (every_row) {
        prepare_cosine_rows(rows, *kernels, nullptr, threads, prepared);
    } else {
        view_cosine_rows(rows, threads, prepared);
    }
    const std::size_t tasks = (count + kPairsPerTask - 1) / kPairsPerTask;
    parallel_for(tasks, worker_count(tasks, threads), [&](std::size_t task, unsigned) {
        const std::size_t first = task * kPairsPerTask;
        const std::size_t m = std::min(kPairsPerTask, count - first);
        const float* base = prepared.base;
        const std::ptrdiff_t stride = prepared.stride;
        const std::size_t d = rows.cols;
        double ab[kPairsPerTask];
        double aa[kPairsPerTask];
        double bb[kPairsPerTask];
        kernels->dots(base, stride, base, stride, d, a + first, b + first, m, ab);
        if (every_row) {
            for (std::size_t k = 0; k < m; ++k) {
                aa[k] = prepared.self[static_cast<std::size_t>(a[first + k])];
                bb[k] = prepared.self[static_cast<std::size_t>(b[first + k])];
            }
        } else {
            kernels->dots(base, stride, base, stride, d, a + first, a + first, m, aa);
            kernels->dots(base, stride, base, stride, d, b + first, b + first, m, bb);
        }
        for (std::size_t k = 0; k < m; ++k) out[first + k] = cosine_from_dots(ab[k], aa[k], bb[k]);
    });
}

}  // namespace lsh
