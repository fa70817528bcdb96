// The cell-scan kernels against a double loop within their bound, on every
// target, and the cell scan against a plain loop over the same layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "lsh/cell_scan.hpp"
#include "lsh/cpu.hpp"
#include "lsh/scan/kernels.hpp"

namespace {

std::vector<float> random_rows(std::size_t n, std::size_t d, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(n * d);
    for (float& x : v) x = normal(rng);
    for (std::size_t i = 0; i < v.size(); i += 5) v[i] *= 1e4f;  // mixed magnitudes: cancellation
    return v;
}

TEST(ScanKernels, WithinTheBoundOfAnySummationOrder) {
    for (std::size_t d : {1u, 3u, 8u, 17u, 64u, 383u, 384u}) {
        const std::size_t m = 7;
        const std::size_t n = 29;
        const std::vector<float> q = random_rows(m, d, d);
        const std::vector<float> x = random_rows(n, d + 3, d + 1);  // a stride longer than d
        std::vector<std::int64_t> query_index = {6, 0, 3, 3, 1, 5, 2};
        std::vector<std::int64_t> pick = {28, 0, 7, 7, 13, 2};
        const double u = std::ldexp(1.0, -24);
        const double gamma = static_cast<double>(d + 2) * u / (1 - static_cast<double>(d + 2) * u);
        for (const lsh::IsaTarget& target : lsh::kIsaTargets) {
            const lsh::ScanKernels* kernels = lsh::find_scan_kernels(target.isa);
            if (kernels == nullptr) continue;
            for (const bool picked : {false, true}) {
                const std::size_t count = picked ? pick.size() : n - 4;
                std::vector<float> out(m * count);
                kernels->dots(q.data(), static_cast<std::ptrdiff_t>(d), query_index.data(), m, x.data(),
                              static_cast<std::ptrdiff_t>(d + 3), picked ? pick.data() : nullptr, 4, count, d,
                              out.data());
                for (std::size_t j = 0; j < m; ++j) {
                    for (std::size_t i = 0; i < count; ++i) {
                        const float* a = q.data() + static_cast<std::size_t>(query_index[j]) * d;
                        const std::size_t r = picked ? static_cast<std::size_t>(pick[i]) : 4 + i;
                        const float* b = x.data() + r * (d + 3);
                        double exact = 0.0;
                        double magnitude = 0.0;
                        for (std::size_t k = 0; k < d; ++k) {
                            exact += static_cast<double>(a[k]) * b[k];
                            magnitude += std::fabs(static_cast<double>(a[k]) * b[k]);
                        }
                        const double error = std::fabs(static_cast<double>(out[j * count + i]) - exact);
                        ASSERT_LE(error, gamma * magnitude * 1.0001 + 1e-30)
                            << lsh::isa_name(target.isa) << " d " << d << " j " << j << " i " << i;
                    }
                }
            }
        }
    }
}

TEST(CellScan, ThePairsOfAPlainLoopAtAnyThreadCountAndBudget) {
    const std::size_t d = 20;
    const std::size_t cells = 5;
    const std::size_t n = 60;
    const std::vector<float> rows = random_rows(n, d, 3);
    const std::vector<float> queries = random_rows(9, d, 4);
    // Rows 12 c .. 12 c + 11 own cell c; every third row visits the next cell.
    std::vector<std::int64_t> row_starts, visit_starts{0}, visit_rows;
    for (std::size_t c = 0; c <= cells; ++c) row_starts.push_back(static_cast<std::int64_t>(12 * c));
    for (std::size_t c = 0; c < cells; ++c) {
        for (std::size_t r = 0; r < n; r += 3) {
            if (r / 12 == (c + cells - 1) % cells) visit_rows.push_back(static_cast<std::int64_t>(r));
        }
        visit_starts.push_back(static_cast<std::int64_t>(visit_rows.size()));
    }
    const std::vector<std::int64_t> scanned = {0, 2, 3};
    const std::vector<std::int64_t> entry_starts = {0, 3, 5, 9};
    const std::vector<std::int64_t> entry_queries = {0, 4, 8, 1, 4, 2, 3, 5, 7};
    const std::vector<std::uint8_t> owning = {1, 0, 1, 0, 1, 1, 1, 0, 0};
    std::vector<float> limits(9);
    for (std::size_t j = 0; j < limits.size(); ++j) limits[j] = static_cast<float>(j) * 20.0f - 60.0f;

    const auto z = [](std::int64_t v) { return static_cast<std::size_t>(v); };
    std::vector<std::pair<std::int64_t, std::int64_t>> expected;
    for (std::size_t k = 0; k < scanned.size(); ++k) {
        const std::size_t c = z(scanned[k]);
        for (bool visitors : {false, true}) {
            for (std::size_t e = z(entry_starts[k]); e < z(entry_starts[k + 1]); ++e) {
                if (visitors && owning[e] == 0) continue;
                const std::size_t lo = z(visitors ? visit_starts[c] : row_starts[c]);
                const std::size_t hi = z(visitors ? visit_starts[c + 1] : row_starts[c + 1]);
                const std::size_t query = z(entry_queries[e]);
                for (std::size_t i = lo; i < hi; ++i) {
                    const std::size_t r = visitors ? z(visit_rows[i]) : i;
                    double dot = 0.0;
                    for (std::size_t t = 0; t < d; ++t)
                        dot += static_cast<double>(queries[query * d + t]) * rows[r * d + t];
                    // Far from the limit both ways, so that rounding cannot move a pair across it.
                    if (std::fabs(dot - limits[query]) < 1e-2) continue;
                    if (dot >= limits[query]) expected.emplace_back(entry_queries[e], static_cast<std::int64_t>(r));
                }
            }
        }
    }
    lsh::CellScanInput in;
    in.queries = queries.data();
    in.query_stride = static_cast<std::ptrdiff_t>(d);
    in.query_count = 9;
    in.limits = limits.data();
    in.rows = rows.data();
    in.row_stride = static_cast<std::ptrdiff_t>(d);
    in.row_count = n;
    in.d = d;
    in.row_starts = row_starts.data();
    in.visit_starts = visit_starts.data();
    in.visit_rows = visit_rows.data();
    in.cell_count = cells;
    in.cells = scanned.data();
    in.entry_starts = entry_starts.data();
    in.scanned = scanned.size();
    in.entry_queries = entry_queries.data();
    in.entry_owning = owning.data();
    const std::set<std::pair<std::int64_t, std::int64_t>> want(expected.begin(), expected.end());
    ASSERT_GT(want.size(), 10u);
    std::vector<std::pair<std::int64_t, std::int64_t>> first;
    for (unsigned threads : {1u, 3u}) {
        const lsh::CellScan scan = lsh::scan_cells(in, 1u << 30, threads);
        EXPECT_EQ(scan.cells_done, scanned.size());
        std::vector<std::pair<std::int64_t, std::int64_t>> got;
        for (std::size_t k = 0; k < scan.query.size(); ++k) got.emplace_back(scan.query[k], scan.row[k]);
        for (const auto& p : want) EXPECT_EQ(std::count(got.begin(), got.end(), p), 1);
        if (first.empty()) first = got;
        EXPECT_EQ(got, first);  // the same list, in the same order
    }
    // A budget of nothing stops after the first wave.
    EXPECT_LE(lsh::scan_cells(in, 0, 1).cells_done, scanned.size());
}

}  // namespace
