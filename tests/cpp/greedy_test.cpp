// The greedy keep/remove rule on graphs whose answer is known by hand, and on
// random graphs against a loop over every edge for every node; the faults of
// an input in their order.
#include "lsh/greedy_keep.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "lsh/panic.hpp"

namespace {

struct Edge {
    std::int64_t a;
    std::int64_t b;
    double cosine;
};

struct Decisions {
    std::vector<std::uint8_t> keep;
    std::vector<std::int64_t> duplicate_of;
    std::vector<double> cosine;

    bool operator==(const Decisions& other) const {
        return keep == other.keep && duplicate_of == other.duplicate_of && cosine.size() == other.cosine.size() &&
               std::memcmp(cosine.data(), other.cosine.data(), cosine.size() * sizeof(double)) == 0;
    }
};

std::vector<std::int8_t> rule_only(std::size_t n) { return std::vector<std::int8_t>(n, lsh::kDecidedByRule); }

lsh::GreedyEdges view(const std::vector<std::int64_t>& a, const std::vector<std::int64_t>& b,
                      const std::vector<double>& c) {
    return {a.data(), b.data(), c.data(), a.size()};
}

Decisions run(std::size_t n, const std::vector<Edge>& edges, const std::vector<std::int8_t>& fixed = {}) {
    std::vector<std::int64_t> a, b;
    std::vector<double> c;
    for (const Edge& e : edges) {
        a.push_back(e.a);
        b.push_back(e.b);
        c.push_back(e.cosine);
    }
    const std::int8_t* decisions = fixed.empty() ? nullptr : fixed.data();
    EXPECT_EQ(lsh::greedy_input_fault(n, view(a, b, c), decisions).kind, lsh::GreedyFault::Kind::none);
    Decisions out{std::vector<std::uint8_t>(n, 7), std::vector<std::int64_t>(n, 7), std::vector<double>(n, 7.0)};
    lsh::greedy_keep(n, view(a, b, c), decisions, {out.keep.data(), out.duplicate_of.data(), out.cosine.data()});
    return out;
}

// The rule read literally: node by node in rank order, every edge looked at.
Decisions reference(std::size_t n, const std::vector<Edge>& edges, const std::vector<std::int8_t>& fixed) {
    const double none = std::nan("");
    Decisions out{std::vector<std::uint8_t>(n, 0), std::vector<std::int64_t>(n, -1), std::vector<double>(n, none)};
    for (std::size_t v = 0; v < n; ++v) {
        if (fixed[v] != lsh::kDecidedByRule) {
            out.keep[v] = fixed[v] == lsh::kFixedKept;
            continue;
        }
        std::int64_t best = -1;
        for (const Edge& e : edges) {
            const auto node = static_cast<std::int64_t>(v);
            const std::int64_t u = e.a == node ? e.b : e.b == node ? e.a : -1;
            if (u < 0 || u > node || out.keep[static_cast<std::size_t>(u)] == 0) continue;
            const double best_cosine = out.cosine[v];
            if (best < 0 || e.cosine > best_cosine || (e.cosine == best_cosine && u < best)) {
                best = u;
                out.cosine[v] = e.cosine;
            }
        }
        out.keep[v] = best < 0;
        out.duplicate_of[v] = best;
    }
    return out;
}

TEST(GreedyKeep, ChainStarAndClique) {
    // A chain in rank order: every other node kept. Node 1's better kept
    // neighbour is its duplicate, not node 2, kept with a higher cosine.
    std::vector<Edge> chain;
    for (std::int64_t v = 0; v + 1 < 9; ++v) chain.push_back({v + 1, v, 0.5 + 0.05 * static_cast<double>(v)});
    const Decisions got = run(9, chain);
    for (std::size_t v = 0; v < 9; ++v) {
        EXPECT_EQ(got.keep[v], v % 2 == 0) << v;
        EXPECT_EQ(got.duplicate_of[v], v % 2 == 0 ? -1 : static_cast<std::int64_t>(v) - 1) << v;
        EXPECT_EQ(std::isnan(got.cosine[v]), v % 2 == 0) << v;
    }
    EXPECT_EQ(got.cosine[1], 0.5);
    EXPECT_EQ(got.cosine[7], 0.5 + 0.05 * 6);

    // A star whose centre ranks first removes every leaf; one whose centre
    // ranks last keeps every leaf and removes the centre, duplicating the
    // leaf of the highest cosine (of two equal ones the better ranked).
    const Decisions first = run(5, {{0, 1, 0.9}, {2, 0, 0.8}, {0, 3, 0.95}, {4, 0, 0.7}});
    EXPECT_EQ(first.keep, (std::vector<std::uint8_t>{1, 0, 0, 0, 0}));
    EXPECT_EQ(first.duplicate_of, (std::vector<std::int64_t>{-1, 0, 0, 0, 0}));
    EXPECT_EQ(first.cosine[3], 0.95);
    const Decisions last = run(5, {{4, 0, 0.7}, {3, 4, 0.9}, {4, 1, 0.9}, {2, 4, 0.8}});
    EXPECT_EQ(last.keep, (std::vector<std::uint8_t>{1, 1, 1, 1, 0}));
    EXPECT_EQ(last.duplicate_of[4], 1);
    EXPECT_EQ(last.cosine[4], 0.9);

    // A clique keeps its first node; with that one fixed-removed, its second.
    std::vector<Edge> clique;
    for (std::int64_t i = 0; i < 6; ++i) {
        for (std::int64_t j = i + 1; j < 6; ++j) clique.push_back({j, i, 1.0 - 0.01 * static_cast<double>(i + j)});
    }
    const Decisions whole = run(6, clique);
    EXPECT_EQ(whole.keep, (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(whole.duplicate_of, (std::vector<std::int64_t>{-1, 0, 0, 0, 0, 0}));
    std::vector<std::int8_t> fixed = rule_only(6);
    fixed[0] = lsh::kFixedRemoved;
    const Decisions without_first = run(6, clique, fixed);
    EXPECT_EQ(without_first.keep, (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(without_first.duplicate_of, (std::vector<std::int64_t>{-1, -1, 1, 1, 1, 1}));
    EXPECT_EQ(without_first.cosine[5], 1.0 - 0.06);

    const Decisions lone = run(3, {});
    EXPECT_EQ(lone.keep, (std::vector<std::uint8_t>{1, 1, 1}));
    EXPECT_TRUE(run(0, {}).keep.empty());
}

TEST(GreedyKeep, RepeatedPairsTiesAndSignedZeros) {
    // A pair given twice, in both orientations: the higher cosine counts.
    const Decisions twice = run(3, {{0, 1, 0.5}, {1, 0, 0.9}, {2, 0, 0.7}, {0, 2, 0.7}});
    EXPECT_EQ(twice.duplicate_of, (std::vector<std::int64_t>{-1, 0, 0}));
    EXPECT_EQ(twice.cosine[1], 0.9);
    EXPECT_EQ(twice.cosine[2], 0.7);

    // Equal cosines to three kept nodes: the best ranked, in any edge order.
    std::vector<Edge> ties = {{3, 2, 0.8}, {1, 3, 0.8}, {3, 0, 0.8}, {3, 1, 0.8}};
    for (int turn = 0; turn < 4; ++turn) {
        std::rotate(ties.begin(), ties.begin() + 1, ties.end());
        const Decisions got = run(4, ties);
        EXPECT_EQ(got.keep, (std::vector<std::uint8_t>{1, 1, 1, 0}));
        EXPECT_EQ(got.duplicate_of[3], 0);
    }

    // Copies of one pair at -0.0 and +0.0 give +0.0 in either order; a
    // zero ties a negative zero of a better ranked node, which wins.
    for (const bool negative_first : {false, true}) {
        const double x = negative_first ? -0.0 : 0.0;
        const Decisions got = run(4, {{0, 2, x}, {2, 0, -x}, {3, 1, 0.0}, {3, 0, -0.0}});
        EXPECT_EQ(got.duplicate_of, (std::vector<std::int64_t>{-1, -1, 0, 0}));
        EXPECT_FALSE(std::signbit(got.cosine[2]));
        EXPECT_TRUE(std::signbit(got.cosine[3]));
    }
}

TEST(GreedyKeep, FixedNodes) {
    // Chain 0 - 1 - 2 - 3 - 4 - 5 with node 1 fixed kept beside the kept
    // node 0, node 3 fixed removed, node 4 fixed kept.
    const std::vector<Edge> chain = {{0, 1, 0.9}, {1, 2, 0.9}, {2, 3, 0.9}, {3, 4, 0.9}, {4, 5, 0.9}};
    std::vector<std::int8_t> fixed = rule_only(6);
    fixed[1] = lsh::kFixedKept;
    fixed[3] = lsh::kFixedRemoved;
    fixed[4] = lsh::kFixedKept;
    const Decisions got = run(6, chain, fixed);
    EXPECT_EQ(got.keep, (std::vector<std::uint8_t>{1, 1, 0, 0, 1, 0}));
    EXPECT_EQ(got.duplicate_of, (std::vector<std::int64_t>{-1, -1, 1, -1, -1, 4}));
    EXPECT_TRUE(std::isnan(got.cosine[3]) && std::isnan(got.cosine[4]));

    // A fixed-removed node, even at the highest cosine, is nobody's duplicate,
    // and removes nobody.
    fixed = rule_only(4);
    fixed[0] = lsh::kFixedRemoved;
    const Decisions beside = run(4, {{0, 3, 0.99}, {1, 3, 0.5}, {0, 2, 0.99}}, fixed);
    EXPECT_EQ(beside.keep, (std::vector<std::uint8_t>{0, 1, 1, 0}));
    EXPECT_EQ(beside.duplicate_of, (std::vector<std::int64_t>{-1, -1, -1, 1}));
    EXPECT_EQ(beside.cosine[3], 0.5);
}

TEST(GreedyKeep, RandomGraphsEqualTheLoopInAnyEdgeOrder) {
    std::mt19937_64 rng(20250611);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 1 + rng() % 120;
        const std::size_t m = rng() % (4 * n + 1);
        std::vector<Edge> edges;
        while (edges.size() < m && n > 1) {
            const auto a = static_cast<std::int64_t>(rng() % n);
            const auto b = static_cast<std::int64_t>(rng() % n);
            // A few cosines only, so that ties are common.
            if (a != b) edges.push_back({a, b, 0.9 + 0.02 * static_cast<double>(rng() % 5)});
        }
        std::vector<std::int8_t> fixed = rule_only(n);
        if (round % 2 == 1) {
            // Half of the nodes decided by the rule, a quarter fixed each way.
            for (std::int8_t& f : fixed) {
                const std::uint64_t r = rng() % 4;
                f = r < 2 ? lsh::kDecidedByRule : r == 2 ? lsh::kFixedRemoved : lsh::kFixedKept;
            }
        }
        const Decisions expected = reference(n, edges, fixed);
        ASSERT_EQ(run(n, edges, fixed), expected) << "round " << round;
        if (round % 2 == 0) {
            ASSERT_EQ(run(n, edges), expected) << "round " << round;
        }
        // Another order and orientation of the same edges.
        std::shuffle(edges.begin(), edges.end(), rng);
        for (Edge& e : edges) {
            if (rng() % 2 == 0) std::swap(e.a, e.b);
        }
        ASSERT_EQ(run(n, edges, fixed), expected) << "round " << round << " shuffled";
    }
}

TEST(GreedyKeep, FaultsInOrder) {
    using Kind = lsh::GreedyFault::Kind;
    const std::vector<std::int64_t> a = {0, 2, 2, 3, 4, 1};
    const std::vector<std::int64_t> b = {1, 1, 3, 3, 5, 0};
    const std::vector<double> c = {0.5, 0.5, std::nan(""), 0.5, 0.5, 0.5};
    std::vector<std::int8_t> fixed = rule_only(5);
    fixed[3] = 2;
    const auto fault = [&](std::size_t n, std::size_t count, const std::int8_t* decisions) {
        const lsh::GreedyFault f = lsh::greedy_input_fault(n, {a.data(), b.data(), c.data(), count}, decisions);
        return std::pair{f.kind, f.index};
    };
    EXPECT_EQ(fault(5, 6, fixed.data()), std::pair(Kind::cosine_not_finite, std::size_t{2}));
    EXPECT_EQ(fault(3, 6, nullptr), std::pair(Kind::b_range, std::size_t{2}));
    EXPECT_EQ(fault(2, 6, nullptr), std::pair(Kind::a_range, std::size_t{1}));
    EXPECT_EQ(fault(5, 2, fixed.data()), std::pair(Kind::fixed_value, std::size_t{3}));
    EXPECT_EQ(fault(5, 2, nullptr), std::pair(Kind::none, std::size_t{0}));
    const std::vector<double> finite(6, std::numeric_limits<double>::max());
    const lsh::GreedyFault self = lsh::greedy_input_fault(6, {a.data(), b.data(), finite.data(), 6}, nullptr);
    EXPECT_EQ(std::pair(self.kind, self.index), std::pair(Kind::self_edge, std::size_t{3}));
    const std::vector<double> infinite(6, -INFINITY);
    EXPECT_EQ(lsh::greedy_input_fault(6, {a.data(), b.data(), infinite.data(), 1}, nullptr).kind,
              Kind::cosine_not_finite);
    fixed[3] = -2;
    EXPECT_EQ(fault(5, 0, fixed.data()), std::pair(Kind::fixed_value, std::size_t{3}));

    // The rule itself never indexes outside its nodes.
    std::vector<std::uint8_t> keep(2);
    std::vector<std::int64_t> duplicate_of(2);
    std::vector<double> cosine(2);
    const lsh::GreedyOutput out{keep.data(), duplicate_of.data(), cosine.data()};
    EXPECT_THROW(lsh::greedy_keep(2, {a.data(), b.data(), c.data(), 2}, nullptr, out), lsh::Panic);
    const std::vector<std::int64_t> negative = {-1};
    EXPECT_THROW(lsh::greedy_keep(2, {a.data(), negative.data(), c.data(), 1}, nullptr, out), lsh::Panic);
}

}  // namespace
