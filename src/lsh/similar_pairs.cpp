// similar_pairs: every pair of rows whose exact cosine reaches a threshold,
// the float32 product deciding the pairs that are clearly below it (the
// bound is derived in cosine.hpp), with a budget on the pairs listed.
//
// The considered pairs are cut into tiles of kPairBlockRows by
// kPairBlockRows rows, taken in a fixed order. A wave of tiles runs in
// parallel, each tile giving its list of pairs on its own; the lists are
// then merged one after the other in tile order, and only the merge changes
// anything shared (the output and the union-find of listed pairs). What a
// tile gives is a function of its rows alone, and the merge is sequential,
// so the output depends neither on the thread count nor on the wave size.
// The product only chooses which pairs are computed exactly: a pair whose
// exact cosine reaches the threshold is always among them, and pairs are
// listed on their exact cosine alone, so the output does not depend on the
// kernel either.
//
// Once more than max_pairs pairs have qualified (complete is false), a pair
// is listed only when its rows are in different components. Work that can
// only produce pairs inside one component is then skipped: a tile whose rows
// all lie in one component when its wave starts, and, within a tile, a pair
// whose rows share a component when the wave starts. Components only ever
// merge, so such pairs would still share one at the merge and be dropped
// there: skipping them changes nothing. The remaining pairs of such a wave
// are computed exactly at the merge, and only while their rows are still in
// different components, so near-identical rows cost about one exact cosine
// per row beyond the budget.
#include <algorithm>
#include <cstring>
#include <string>

#include "lsh/batch/kernels.hpp"
#include "lsh/cosine.hpp"
#include "lsh/cosine_tiles.hpp"
#include "lsh/fp_env.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"
#include "lsh/union_find.hpp"

namespace lsh {

namespace {

constexpr std::size_t kBlock = kPairBlockRows;
// Tiles per wave and thread.
constexpr std::size_t kTilesPerThread = 4;

struct Tile {
    std::size_t row_block;
    std::size_t column_block;
};

// The pairs one tile gives: with exact cosines (those that qualify), or,
// once the list is incomplete, the candidates still to be decided.
struct TileOutput {
    std::vector<std::uint32_t> a;
    std::vector<std::uint32_t> b;
    std::vector<double> cosine;
};

struct PairScratch {
    TileScratch tile;
    std::vector<std::uint8_t> flags;
    std::vector<std::int64_t> left;
    std::vector<std::int64_t> right;
    std::vector<double> dots;
};

struct PairPlan {
    const CosineRows& rows;
    const BatchKernels& product;
    const CosineKernels& exact;
    std::size_t owners;
    double threshold;
    double slack;
};

// The candidates of one tile, in (i, j) order, into s.left / s.right.
void tile_candidates(const PairPlan& plan, const Tile& tile, PairScratch& s) {
    const CosineRows& rows = plan.rows;
    const std::size_t i0 = tile.row_block * kBlock;
    const std::size_t i1 = std::min(i0 + kBlock, plan.owners);
    const std::size_t j0 = tile.column_block * kBlock;
    const std::size_t j1 = std::min(j0 + kBlock, rows.n);
    const bool everything = plan.threshold <= -1.0;
    bool any_row = false;
    bool any_column = false;
    for (std::size_t i = i0; i < i1; ++i) any_row = any_row || rows.fast[i] != 0;
    for (std::size_t j = j0; j < j1; ++j) any_column = any_column || rows.fast[j] != 0;
    const bool product = !everything && any_row && any_column;
    std::size_t columns = 0;
    if (product) {
        const std::size_t nr = plan.product.nr;
        s.tile.panels.resize((j1 - j0 + nr - 1) / nr * nr * rows.d);
        columns = pack_columns(plan.product, rows, j0, j1 - j0, s.tile.panels.data());
        pack_rows(plan.product, rows, i0, i1 - i0, s.tile);
        tile_product(plan.product, rows.d, i1 - i0, s.tile.panels.data(), columns, s.tile);
    }
    s.left.clear();
    s.right.clear();
    s.flags.resize(kBlock);
    const double* inverse = rows.inverse.data();
    const std::uint8_t* fast = rows.fast.data();
    for (std::size_t i = i0; i < i1; ++i) {
        const std::size_t first = std::max(j0, i + 1);
        if (first >= j1) continue;
        std::uint8_t* flags = s.flags.data();
        const std::size_t m = j1 - first;
        if (!product || fast[i] == 0) {
            std::memset(flags, 1, m);
        } else {
            // Without a branch, so that the compiler runs it on vectors.
            const float* sums = s.tile.product.data() + (i - i0) * columns + (first - j0);
            const double ia = inverse[i];
            for (std::size_t k = 0; k < m; ++k) {
                const double v = static_cast<double>(sums[k]) * ia * inverse[first + k];
                flags[k] = static_cast<std::uint8_t>((v + plan.slack >= plan.threshold) | (fast[first + k] == 0));
            }
        }
        for (std::size_t k = 0; k < m; ++k) {
            if (flags[k] == 0) continue;
            s.left.push_back(static_cast<std::int64_t>(i));
            s.right.push_back(static_cast<std::int64_t>(first + k));
        }
    }
}

// One tile while the list is complete: the pairs that qualify, with their
// exact cosines.
void qualifying_pairs(const PairPlan& plan, const Tile& tile, PairScratch& s, TileOutput& out) {
    tile_candidates(plan, tile, s);
    const CosineRows& rows = plan.rows;
    s.dots.resize(s.left.size());
    plan.exact.dots(rows.base, rows.stride, rows.base, rows.stride, rows.d, s.left.data(), s.right.data(),
                    s.left.size(), s.dots.data());
    for (std::size_t k = 0; k < s.left.size(); ++k) {
        const auto i = static_cast<std::size_t>(s.left[k]);
        const auto j = static_cast<std::size_t>(s.right[k]);
        const double cosine = cosine_from_dots(s.dots[k], rows.self[i], rows.self[j]);
        if (!(cosine >= plan.threshold)) continue;
        out.a.push_back(static_cast<std::uint32_t>(i));
        out.b.push_back(static_cast<std::uint32_t>(j));
        out.cosine.push_back(cosine);
    }
}

// One tile once the list is incomplete: the candidates whose rows were in
// different components when the wave started (nobody unites meanwhile).
void open_candidates(const PairPlan& plan, const Tile& tile, const UnionFind& components, PairScratch& s,
                     TileOutput& out) {
    tile_candidates(plan, tile, s);
    for (std::size_t k = 0; k < s.left.size(); ++k) {
        const auto i = static_cast<std::uint32_t>(s.left[k]);
        const auto j = static_cast<std::uint32_t>(s.right[k]);
        if (components.root(i) == components.root(j)) continue;
        out.a.push_back(i);
        out.b.push_back(j);
    }
}

// Whether every row of block `block` lies in one component (once true, it
// stays true).
bool one_component(UnionFind& components, std::vector<std::uint8_t>& known, std::size_t block, std::size_t n) {
    if (known[block] != 0) return true;
    const std::size_t first = block * kBlock;
    const std::size_t end = std::min(first + kBlock, n);
    const std::uint32_t root = components.find(static_cast<std::uint32_t>(first));
    for (std::size_t r = first + 1; r < end; ++r) {
        if (components.find(static_cast<std::uint32_t>(r)) != root) return false;
    }
    known[block] = 1;
    return true;
}

}  // namespace

SimilarPairs similar_pairs(const RowMatrix& rows, double threshold, std::size_t owners, std::size_t max_pairs,
                           unsigned threads) {
    return similar_pairs(rows, threshold, owners, max_pairs, threads, batch_kernels().isa);
}

SimilarPairs similar_pairs(const RowMatrix& rows, double threshold, std::size_t owners, std::size_t max_pairs,
                           unsigned threads, Isa isa) {
    const BatchKernels* product = find_batch_kernels(isa);
    const CosineKernels* exact = find_cosine_kernels(isa);
    if (product == nullptr || exact == nullptr) panic(std::string("no kernels for ") + isa_name(isa) + " on this CPU");
    const std::size_t n = rows.rows;
    const bool in_range = threshold >= -1.0 && threshold <= 1.0;  // false for NaN
    if (owners > n || n > 0xFFFFFFFFu || !in_range || max_pairs == 0) panic("similar_pairs: arguments out of range");
    SimilarPairs result;
    if (n < 2 || owners == 0) return result;
    const FloatEnvScope fp_env;
    CosineRows prepared;
    prepare_cosine_rows(rows, *exact, product, threads, prepared);
    const PairPlan plan{prepared, *product, *exact, owners, threshold, cosine_slack(rows.cols)};

    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    const std::size_t row_blocks = (owners + kBlock - 1) / kBlock;
    UnionFind components(n);
    std::vector<std::uint8_t> settled(blocks, 0);
    const unsigned workers = worker_count(blocks * row_blocks, threads);
    std::vector<PairScratch> scratch(workers);
    std::vector<Tile> wave;
    std::vector<TileOutput> outputs(kTilesPerThread * workers);
    Tile next{0, 0};

    const auto list = [&](std::uint32_t i, std::uint32_t j, double cosine) {
        result.a.push_back(i);
        result.b.push_back(j);
        result.cosine.push_back(cosine);
    };
    while (next.row_block < row_blocks) {
        // The next tiles, past those that can only give pairs inside one component.
        const bool complete = result.complete;
        wave.clear();
        while (wave.size() < outputs.size() && next.row_block < row_blocks) {
            const Tile tile = next;
            if (++next.column_block == blocks) next = {next.row_block + 1, next.row_block + 1};
            if (!complete && one_component(components, settled, tile.row_block, n) &&
                one_component(components, settled, tile.column_block, n) &&
                components.find(static_cast<std::uint32_t>(tile.row_block * kBlock)) ==
                    components.find(static_cast<std::uint32_t>(tile.column_block * kBlock))) {
                continue;
            }
            wave.push_back(tile);
        }
        parallel_for(wave.size(), workers, [&](std::size_t k, unsigned worker) {
            TileOutput& out = outputs[k];
            out.a.clear();
            out.b.clear();
            out.cosine.clear();
            if (complete) {
                qualifying_pairs(plan, wave[k], scratch[worker], out);
            } else {
                open_candidates(plan, wave[k], components, scratch[worker], out);
            }
        });
        for (std::size_t k = 0; k < wave.size(); ++k) {
            const TileOutput& out = outputs[k];
            for (std::size_t p = 0; p < out.a.size(); ++p) {
                const std::uint32_t i = out.a[p];
                const std::uint32_t j = out.b[p];
                if (complete) {
                    if (result.a.size() < max_pairs) {
                        components.unite(i, j);
                        list(i, j, out.cosine[p]);
                        continue;
                    }
                    result.complete = false;
                    if (components.unite(i, j)) list(i, j, out.cosine[p]);
                    continue;
                }
                if (components.find(i) == components.find(j)) continue;
                const std::int64_t left = i;
                const std::int64_t right = j;
                double dot = 0.0;
                exact->dots(prepared.base, prepared.stride, prepared.base, prepared.stride, prepared.d, &left, &right,
                            1, &dot);
                const double cosine = cosine_from_dots(dot, prepared.self[i], prepared.self[j]);
                if (cosine >= threshold) {
                    components.unite(i, j);
                    list(i, j, cosine);
                }
            }
        }
    }
    return result;
}

}  // namespace lsh
