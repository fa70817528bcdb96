// The exact cosines against a plain double loop, for every kernel this CPU
// supports and several thread counts: the dot kernels, cosine_pairs,
// similar_pairs (all pairs, owner splits, the pair budget) and
// nearest_cells (near ties, margins), with rows built to defeat the float32
// decision and rows that must take the exact path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "float_rows.hpp"
#include "lsh/batch/kernels.hpp"
#include "lsh/cosine.hpp"
#include "lsh/cosine/kernels.hpp"
#include "lsh/union_find.hpp"

namespace {

using lsh::Isa;

struct Rows {
    std::size_t n;
    std::size_t d;
    std::vector<float> values;

    lsh::RowMatrix matrix() const { return lsh_test::float32_matrix(values, n, d); }
    const float* row(std::size_t r) const { return values.data() + r * d; }
    float* row(std::size_t r) { return values.data() + r * d; }
};

Rows unit_rows(std::size_t n, std::size_t d, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Rows rows{n, d, std::vector<float>(n * d)};
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<double> x(d);
        double norm = 0.0;
        for (double& v : x) {
            v = normal(rng);
            norm += v * v;
        }
        for (std::size_t i = 0; i < d; ++i) rows.values[r * d + i] = static_cast<float>(x[i] / std::sqrt(norm));
    }
    return rows;
}

// Rows in tight groups around a few centres: many pairs near any threshold.
Rows clustered_rows(std::size_t n, std::size_t d, std::size_t groups, double spread, std::uint64_t seed) {
    const Rows centres = unit_rows(groups, d, seed);
    const Rows noise = unit_rows(n, d, seed + 1);
    Rows rows{n, d, std::vector<float>(n * d)};
    for (std::size_t r = 0; r < n; ++r) {
        double norm = 0.0;
        std::vector<double> x(d);
        for (std::size_t i = 0; i < d; ++i) {
            x[i] = centres.row(r % groups)[i] + spread * noise.row(r)[i];
            norm += x[i] * x[i];
        }
        for (std::size_t i = 0; i < d; ++i) rows.row(r)[i] = static_cast<float>(x[i] / std::sqrt(norm));
    }
    return rows;
}

// The definitions, as a plain loop.
double reference_dot(const float* a, const float* b, std::size_t d) {
    double s = 0.0;
    for (std::size_t k = 0; k < d; ++k) s = s + static_cast<double>(a[k]) * static_cast<double>(b[k]);
    return s;
}

double reference_cosine(const float* a, const float* b, std::size_t d) {
    const double aa = reference_dot(a, a, d);
    const double bb = reference_dot(b, b, d);
    if (aa == 0.0 || bb == 0.0) return 0.0;
    const double c = reference_dot(a, b, d) / std::sqrt(aa * bb);
    if (std::isnan(c)) return std::numeric_limits<double>::quiet_NaN();
    return std::clamp(c, -1.0, 1.0);
}

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

std::vector<Isa> supported_isas() {
    std::vector<Isa> isas;
    for (const lsh::IsaTarget& target : lsh::kIsaTargets) {
        if (lsh::find_cosine_kernels(target.isa) != nullptr && lsh::find_batch_kernels(target.isa) != nullptr)
            isas.push_back(target.isa);
    }
    return isas;
}

// Rows 0 .. 5 replaced by values that must take the exact path.
void add_special_rows(Rows& rows) {
    const std::size_t d = rows.d;
    std::fill(rows.row(0), rows.row(0) + d, 0.0f);                                                // zero
    rows.row(1)[0] = std::numeric_limits<float>::quiet_NaN();                                     // NaN
    rows.row(2)[d - 1] = std::numeric_limits<float>::infinity();                                  // infinity
    for (std::size_t i = 0; i < d; ++i) rows.row(3)[i] = 1e-40f * static_cast<float>(i % 3 + 1);  // subnormal
    for (std::size_t i = 0; i < d; ++i) rows.row(4)[i] *= 3e37f;                                  // huge
    for (std::size_t i = 0; i < d; ++i) rows.row(5)[i] *= 1e-25f;  // tiny, products underflow
}

TEST(CosineKernels, DotsEqualThePlainLoop) {
    for (std::size_t d : {1u, 2u, 3u, 7u, 31u, 128u, 129u, 384u, 1000u, 1601u}) {
        Rows rows = unit_rows(23, d + 5, 11 + d);  // rows read with a stride longer than d
        for (std::size_t i = 0; i < rows.values.size(); i += 7) rows.values[i] *= 1e6f;
        std::mt19937_64 rng(d);
        std::vector<std::int64_t> left(61), right(61);
        for (std::size_t k = 0; k < left.size(); ++k) {
            left[k] = static_cast<std::int64_t>(rng() % rows.n);
            right[k] = static_cast<std::int64_t>(rng() % rows.n);
        }
        for (Isa isa : supported_isas()) {
            const lsh::CosineKernels& kernels = *lsh::find_cosine_kernels(isa);
            for (std::size_t count : {std::size_t{1}, std::size_t{5}, std::size_t{17}, left.size()}) {
                std::vector<double> out(count);
                const auto stride = static_cast<std::ptrdiff_t>(rows.d);
                kernels.dots(rows.values.data(), stride, rows.values.data(), stride, d, left.data(), right.data(),
                             count, out.data());
                for (std::size_t k = 0; k < count; ++k) {
                    const double expected = reference_dot(rows.row(static_cast<std::size_t>(left[k])),
                                                          rows.row(static_cast<std::size_t>(right[k])), d);
                    ASSERT_EQ(bits_of(out[k]), bits_of(expected)) << lsh::isa_name(isa) << " d " << d << " k " << k;
                }
            }
        }
    }
}

TEST(CosinePairs, EqualThePlainLoopWithSpecialRows) {
    for (std::size_t d : {1u, 5u, 48u, 384u}) {
        Rows rows = unit_rows(40, d, 3 * d);
        add_special_rows(rows);
        std::vector<std::int64_t> a, b;
        for (std::size_t i = 0; i < rows.n; ++i) {
            for (std::size_t j = 0; j < rows.n; j += 3) {
                a.push_back(static_cast<std::int64_t>(i));
                b.push_back(static_cast<std::int64_t>(j));
            }
        }
        for (Isa isa : supported_isas()) {
            for (unsigned threads : {1u, 3u}) {
                for (std::size_t count : {std::size_t{7}, a.size()}) {  // fewer and more pairs than rows
                    std::vector<double> out(count);
                    lsh::cosine_pairs(rows.matrix(), a.data(), b.data(), count, out.data(), threads, isa);
                    for (std::size_t k = 0; k < count; ++k) {
                        const double expected = reference_cosine(rows.row(static_cast<std::size_t>(a[k])),
                                                                 rows.row(static_cast<std::size_t>(b[k])), d);
                        ASSERT_EQ(bits_of(out[k]), bits_of(expected)) << lsh::isa_name(isa) << " pair " << k;
                    }
                }
            }
        }
    }
}

using Pair = std::tuple<std::int64_t, std::int64_t, std::uint64_t>;

// Every qualifying pair in block order, then the budget applied as defined.
std::pair<std::vector<Pair>, bool> reference_pairs(const Rows& rows, double threshold, std::size_t owners,
                                                   std::size_t max_pairs) {
    const std::size_t block = lsh::kPairBlockRows;
    std::vector<Pair> all;
    for (std::size_t bi = 0; bi * block < owners; ++bi) {
        for (std::size_t bj = bi; bj * block < rows.n; ++bj) {
            for (std::size_t i = bi * block; i < std::min(owners, (bi + 1) * block); ++i) {
                for (std::size_t j = std::max(i + 1, bj * block); j < std::min(rows.n, (bj + 1) * block); ++j) {
                    const double c = reference_cosine(rows.row(i), rows.row(j), rows.d);
                    if (c >= threshold)
                        all.emplace_back(static_cast<std::int64_t>(i), static_cast<std::int64_t>(j), bits_of(c));
                }
            }
        }
    }
    lsh::UnionFind components(rows.n);
    std::vector<Pair> listed;
    for (const Pair& p : all) {
        const bool joins =
            components.unite(static_cast<std::uint32_t>(std::get<0>(p)), static_cast<std::uint32_t>(std::get<1>(p)));
        if (listed.size() < max_pairs || joins) listed.push_back(p);
    }
    return {listed, all.size() <= max_pairs};
}

void expect_like_reference(const Rows& rows, double threshold, std::size_t owners, std::size_t max_pairs) {
    const auto [expected, complete] = reference_pairs(rows, threshold, owners, max_pairs);
    for (Isa isa : supported_isas()) {
        for (unsigned threads : {1u, 2u, 3u}) {
            const lsh::SimilarPairs found =
                lsh::similar_pairs(rows.matrix(), threshold, owners, max_pairs, threads, isa);
            std::vector<Pair> got;
            for (std::size_t k = 0; k < found.a.size(); ++k)
                got.emplace_back(found.a[k], found.b[k], bits_of(found.cosine[k]));
            ASSERT_EQ(got, expected) << lsh::isa_name(isa) << " threads " << threads << " threshold " << threshold
                                     << " owners " << owners << " max_pairs " << max_pairs;
            ASSERT_EQ(found.complete, complete);
        }
    }
}

TEST(SimilarPairs, AllPairsLikeThePlainLoop) {
    for (std::size_t d : {1u, 3u, 64u, 129u, 384u}) {
        const Rows rows = clustered_rows(300, d, 25, 0.3, d);
        for (double threshold : {-1.0, 0.0, 0.5, 0.9}) expect_like_reference(rows, threshold, rows.n, 1u << 30);
    }
}

TEST(SimilarPairs, LongRows) {
    const Rows rows = clustered_rows(80, 1600, 8, 0.2, 5);
    expect_like_reference(rows, 0.95, rows.n, 1u << 30);
}

TEST(SimilarPairs, OwnerSplits) {
    const Rows rows = clustered_rows(600, 16, 40, 0.3, 8);
    for (std::size_t owners : {0u, 1u, 255u, 256u, 257u, 599u, 600u})
        expect_like_reference(rows, 0.8, owners, 1u << 30);
}

TEST(SimilarPairs, PairsExactlyAtTheThreshold) {
    Rows rows = clustered_rows(90, 40, 5, 0.05, 9);
    add_special_rows(rows);
    // Thresholds at the exact cosines of some pairs, and one ulp above them.
    for (std::size_t j : {7u, 20u, 51u, 89u}) {
        const double c = reference_cosine(rows.row(6), rows.row(j), rows.d);
        expect_like_reference(rows, c, rows.n, 1u << 30);
        expect_like_reference(rows, std::nextafter(c, 2.0), rows.n, 1u << 30);
    }
    expect_like_reference(rows, 1.0, rows.n, 1u << 30);
    expect_like_reference(rows, 0.0, rows.n, 1u << 30);
}

TEST(SimilarPairs, SpecialRowsTakeTheExactPath) {
    Rows rows = clustered_rows(50, 24, 3, 0.01, 10);
    add_special_rows(rows);
    std::copy(rows.row(4), rows.row(4) + rows.d, rows.row(9));   // a huge pair of cosine 1
    std::copy(rows.row(3), rows.row(3) + rows.d, rows.row(10));  // a subnormal pair of cosine 1
    expect_like_reference(rows, 0.99, rows.n, 1u << 30);
    expect_like_reference(rows, -1.0, rows.n, 1u << 30);
}

TEST(SimilarPairs, BudgetKeepsTheComponents) {
    // Near-identical groups: far more qualifying pairs than the budget.
    const Rows rows = clustered_rows(700, 8, 6, 0.02, 12);
    for (std::size_t max_pairs : {1u, 100u, 5000u, 40000u}) expect_like_reference(rows, 0.9, rows.n, max_pairs);
    expect_like_reference(rows, 0.9, 300, 50);
}

// Every row's cells by the definition: sorted by (-cosine, cell), within margin of the best.
void expect_cells_like_reference(const Rows& rows, const Rows& centroids, double margin, std::size_t max_cells) {
    const std::size_t n = rows.n;
    std::vector<std::int32_t> expected_cells(n * max_cells, -1);
    std::vector<double> expected_sims(n * max_cells, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<std::pair<double, std::int32_t>> all;
        for (std::size_t c = 0; c < centroids.n; ++c) {
            const double e = reference_cosine(rows.row(r), centroids.row(c), rows.d);
            if (!std::isnan(e)) all.emplace_back(-e, static_cast<std::int32_t>(c));
        }
        std::sort(all.begin(), all.end());
        for (std::size_t k = 0, kept = 0; k < all.size() && kept < max_cells; ++k) {
            if (!(-all[k].first >= -all[0].first - margin)) break;
            expected_cells[r * max_cells + kept] = all[k].second;
            expected_sims[r * max_cells + kept] = -all[k].first;
            ++kept;
        }
    }
    for (Isa isa : supported_isas()) {
        for (unsigned threads : {1u, 3u}) {
            std::vector<std::int32_t> cells(n * max_cells, 7);
            std::vector<double> sims(n * max_cells, 7.0);
            lsh::nearest_cells(rows.matrix(), centroids.matrix(), margin, max_cells, cells.data(), sims.data(), threads,
                               isa);
            ASSERT_EQ(cells, expected_cells) << lsh::isa_name(isa) << " margin " << margin;
            for (std::size_t k = 0; k < sims.size(); ++k) ASSERT_EQ(bits_of(sims[k]), bits_of(expected_sims[k])) << k;
        }
    }
}

TEST(NearestCells, LikeThePlainLoop) {
    for (std::size_t d : {1u, 2u, 33u, 384u, 1500u}) {
        const Rows centroids = unit_rows(37, d, 20 + d);
        Rows rows = clustered_rows(120, d, 37, 0.5, 20 + d);
        add_special_rows(rows);
        for (double margin : {0.0, 0.01, 0.3, 5.0}) {
            for (std::size_t max_cells : {1u, 3u, 40u}) expect_cells_like_reference(rows, centroids, margin, max_cells);
        }
    }
}

TEST(NearestCells, NearTies) {
    // Centroids one float step apart in one component, and exact copies:
    // their cosines with a row differ in the last bits or not at all.
    const std::size_t d = 96;
    const Rows base = unit_rows(4, d, 31);
    Rows centroids{40, d, std::vector<float>(40 * d)};
    for (std::size_t c = 0; c < centroids.n; ++c) {
        std::copy(base.row(c % 4), base.row(c % 4) + d, centroids.row(c));
        float& x = centroids.row(c)[c % d];
        for (std::size_t step = 0; step < c / 8; ++step) x = std::nextafter(x, 2.0f);
    }
    Rows rows = clustered_rows(50, d, 4, 0.001, 31);
    add_special_rows(rows);
    for (double margin : {0.0, 1e-9, 1e-6}) {
        for (std::size_t max_cells : {1u, 4u, 12u}) expect_cells_like_reference(rows, centroids, margin, max_cells);
    }
    Rows special_centroids = centroids;
    add_special_rows(special_centroids);
    expect_cells_like_reference(rows, special_centroids, 0.0, 3);
}

}  // namespace
