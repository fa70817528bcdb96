// nearest_cells: each row's best cells by exact cosine, decided with the
// float32 product and the slack of cosine.hpp.
//
// For a product row x and a product centroid c the computed cosine e_c lies
// in [lo_c, hi_c] = [clamp(v_c - D), clamp(v_c + D)]. With B = max lo_c over
// the product centroids, best = max e_c >= B, so fl(best - margin) >=
// fl(B - margin) = cut (rounding is monotone): a centroid with hi_c < cut
// has e_c < fl(best - margin) and cannot be chosen. Every other centroid
// (and every centroid of a row or with values that take the exact path) is
// computed exactly; the best and the chosen cells come from those exact
// cosines alone, so the product only ever removes centroids that the exact
// comparison would have removed.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "lsh/batch/kernels.hpp"
#include "lsh/cosine.hpp"
#include "lsh/cosine_tiles.hpp"
#include "lsh/fp_env.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"

namespace lsh {

namespace {

// Most rows per tile, and the float32 sums a tile may hold.
constexpr std::size_t kTileRows = 192;
constexpr std::size_t kTileSums = std::size_t{2} << 20;
// Centroid panels packed per task.
constexpr std::size_t kPackColumns = 256;

double clamp_unit(double x) noexcept { return std::clamp(x, -1.0, 1.0); }

struct CellScratch {
    TileScratch tile;
    std::vector<std::int64_t> left;
    std::vector<std::int64_t> right;
    std::vector<double> dots;
    std::vector<std::size_t> row_end;  // end of each row's candidates in left/right
    std::vector<std::pair<double, std::int32_t>> chosen;
};

struct CellPlan {
    const CosineRows& rows;
    const CosineRows& centroids;
    const BatchKernels& product;
    const CosineKernels& exact;
    const std::vector<float>& panels;
    std::size_t columns;  // centroids rounded up to nr
    std::size_t tile_rows;
    double margin;
    std::size_t max_cells;
    double slack;
    std::int32_t* cells;
    double* sims;
};

// The candidates of tile row r (absolute row x) into s.left / s.right.
void row_candidates(const CellPlan& plan, std::size_t r, std::size_t x, CellScratch& s) {
    const std::size_t k = plan.centroids.n;
    const auto add = [&](std::size_t c) {
        s.left.push_back(static_cast<std::int64_t>(x));
        s.right.push_back(static_cast<std::int64_t>(c));
    };
    if (plan.rows.fast[x] == 0) {
        for (std::size_t c = 0; c < k; ++c) add(c);
        return;
    }
    const float* sums = s.tile.product.data() + r * plan.columns;
    const double ix = plan.rows.inverse[x];
    double bound = -std::numeric_limits<double>::infinity();
    for (std::size_t c = 0; c < k; ++c) {
        if (plan.centroids.fast[c] == 0) continue;
        const double v = static_cast<double>(sums[c]) * ix * plan.centroids.inverse[c];
        bound = std::max(bound, clamp_unit(v - plan.slack));
    }
    const double cut = bound - plan.margin;
    for (std::size_t c = 0; c < k; ++c) {
        if (plan.centroids.fast[c] != 0) {
            const double v = static_cast<double>(sums[c]) * ix * plan.centroids.inverse[c];
            if (clamp_unit(v + plan.slack) < cut) continue;
        }
        add(c);
    }
}

// The chosen cells of row x from its exact candidates [begin, end).
void choose(const CellPlan& plan, std::size_t x, std::size_t begin, std::size_t end, CellScratch& s) {
    s.chosen.clear();
    double best = -std::numeric_limits<double>::infinity();
    for (std::size_t j = begin; j < end; ++j) {
        const auto c = static_cast<std::size_t>(s.right[j]);
        const double e = cosine_from_dots(s.dots[j], plan.rows.self[x], plan.centroids.self[c]);
        if (std::isnan(e)) continue;
        s.chosen.emplace_back(e, static_cast<std::int32_t>(c));
        best = std::max(best, e);
    }
    const double cut = best - plan.margin;
    std::erase_if(s.chosen, [&](const std::pair<double, std::int32_t>& item) { return !(item.first >= cut); });
    const std::size_t keep = std::min(plan.max_cells, s.chosen.size());
    const auto order = [](const std::pair<double, std::int32_t>& p, const std::pair<double, std::int32_t>& q) {
        return p.first > q.first || (p.first == q.first && p.second < q.second);
    };
    std::partial_sort(s.chosen.begin(), s.chosen.begin() + static_cast<std::ptrdiff_t>(keep), s.chosen.end(), order);
    std::int32_t* cells = plan.cells + x * plan.max_cells;
    double* sims = plan.sims + x * plan.max_cells;
    for (std::size_t k = 0; k < plan.max_cells; ++k) {
        cells[k] = k < keep ? s.chosen[k].second : -1;
        sims[k] = k < keep ? s.chosen[k].first : std::numeric_limits<double>::quiet_NaN();
    }
}

void run_tile(const CellPlan& plan, std::size_t tile, CellScratch& s) {
    const std::size_t first = tile * plan.tile_rows;
    const std::size_t m = std::min(plan.tile_rows, plan.rows.n - first);
    bool any_fast = false;
    for (std::size_t r = first; r < first + m; ++r) any_fast = any_fast || plan.rows.fast[r] != 0;
    if (any_fast) {
        pack_rows(plan.product, plan.rows, first, m, s.tile);
        tile_product(plan.product, plan.rows.d, m, plan.panels.data(), plan.columns, s.tile);
    }
    s.left.clear();
    s.right.clear();
    s.row_end.clear();
    for (std::size_t r = 0; r < m; ++r) {
        row_candidates(plan, r, first + r, s);
        s.row_end.push_back(s.left.size());
    }
    s.dots.resize(s.left.size());
    plan.exact.dots(plan.rows.base, plan.rows.stride, plan.centroids.base, plan.centroids.stride, plan.rows.d,
                    s.left.data(), s.right.data(), s.left.size(), s.dots.data());
    std::size_t begin = 0;
    for (std::size_t r = 0; r < m; ++r) {
        choose(plan, first + r, begin, s.row_end[r], s);
        begin = s.row_end[r];
    }
}

}  // namespace

void nearest_cells(const RowMatrix& rows, const RowMatrix& centroids, double margin, std::size_t max_cells,
                   std::int32_t* cells, double* sims, unsigned threads) {
    nearest_cells(rows, centroids, margin, max_cells, cells, sims, threads, batch_kernels().isa);
}

void nearest_cells(const RowMatrix& rows, const RowMatrix& centroids, double margin, std::size_t max_cells,
                   std::int32_t* cells, double* sims, unsigned threads, Isa isa) {
    const BatchKernels* product = find_batch_kernels(isa);
    const CosineKernels* exact = find_cosine_kernels(isa);
    if (product == nullptr || exact == nullptr) panic(std::string("no kernels for ") + isa_name(isa) + " on this CPU");
    if (rows.cols != centroids.cols || max_cells == 0) panic("nearest_cells: mismatched arguments");
    if (rows.rows == 0) return;
    const FloatEnvScope fp_env;
    CosineRows x;
    CosineRows c;
    prepare_cosine_rows(rows, *exact, product, threads, x);
    prepare_cosine_rows(centroids, *exact, product, threads, c);

    const std::size_t d = rows.cols;
    const std::size_t nr = product->nr;
    const std::size_t columns = (c.n + nr - 1) / nr * nr;
    std::vector<float> panels(checked_product(columns, d));
    const std::size_t pack_tasks = (c.n + kPackColumns - 1) / kPackColumns;
    parallel_for(pack_tasks, worker_count(pack_tasks, threads), [&](std::size_t task, unsigned) {
        const std::size_t first = task * kPackColumns;  // a multiple of nr
        pack_columns(*product, c, first, std::min(kPackColumns, c.n - first), panels.data() + first * d);
    });

    const std::size_t tile_rows = std::max<std::size_t>(1, std::min(kTileRows, kTileSums / columns));
    const std::size_t tiles = (rows.rows + tile_rows - 1) / tile_rows;
    const CellPlan plan{x,         c,      *product,  *exact,          panels, columns,
                        tile_rows, margin, max_cells, cosine_slack(d), cells,  sims};
    std::vector<CellScratch> scratch(worker_count(tiles, threads));
    parallel_for(tiles, static_cast<unsigned>(scratch.size()),
                 [&](std::size_t tile, unsigned worker) { run_tile(plan, tile, scratch[worker]); });
}

}  // namespace lsh
