// The greedy rule in two steps: the lists of each node's neighbours of
// better rank (a CSR keyed by the later node of each edge, built by a
// counting pass and a scatter pass), then one pass in rank order that
// decides each node from the decisions of the nodes before it and, for a
// removed node, picks its duplicate on the way. Each node's list is read
// once, so the whole is linear in nodes plus edges.
#include "lsh/greedy_keep.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "lsh/panic.hpp"

namespace lsh {

namespace {

using Node = std::uint32_t;

// Whether the kept neighbour (c, u) is a better duplicate than (best_c,
// best_u): the higher cosine, then the better rank, then +0.0 over -0.0.
bool preferred(double c, Node u, double best_c, Node best_u) noexcept {
    if (c != best_c) return c > best_c;
    if (u != best_u) return u < best_u;
    return std::signbit(best_c) && !std::signbit(c);
}

// The edges are read twice while whoever owns them may run: an edge out of
// range, or edges (or decisions) that changed between the two reads, must
// not send a write out of bounds.
[[noreturn, gnu::cold, gnu::noinline]] void broken_edges() {
    panic("greedy_keep: an edge out of range, or edges changed during the call");
}

bool in_range(std::int64_t node, std::size_t n) noexcept { return node >= 0 && static_cast<std::uint64_t>(node) < n; }

}  // namespace

GreedyFault greedy_input_fault(std::size_t n, const GreedyEdges& edges, const std::int8_t* fixed) noexcept {
    using Kind = GreedyFault::Kind;
    for (std::size_t k = 0; k < edges.count; ++k) {
        if (!in_range(edges.a[k], n)) return {Kind::a_range, k};
        if (!in_range(edges.b[k], n)) return {Kind::b_range, k};
        if (edges.a[k] == edges.b[k]) return {Kind::self_edge, k};
        if (!std::isfinite(edges.cosine[k])) return {Kind::cosine_not_finite, k};
    }
    if (fixed != nullptr) {
        for (std::size_t v = 0; v < n; ++v) {
            if (fixed[v] < kDecidedByRule || fixed[v] > kFixedKept) return {Kind::fixed_value, v};
        }
    }
    return {};
}

void greedy_keep(std::size_t n, const GreedyEdges& edges, const std::int8_t* fixed, const GreedyOutput& out) {
    if (n > std::numeric_limits<Node>::max()) panic("greedy_keep: more than 2^32 - 1 nodes");
    // The ends of edge k, earlier node first, when the edge can decide
    // anything: its later node is decided by the rule, and its earlier node
    // may be kept. Unsigned, so that a negative node is out of range too.
    const auto ends = [&](std::size_t k, Node& earlier, Node& later) {
        const auto x = static_cast<std::uint64_t>(edges.a[k]);
        const auto y = static_cast<std::uint64_t>(edges.b[k]);
        if (std::max(x, y) >= n) [[unlikely]]
            broken_edges();
        earlier = static_cast<Node>(std::min(x, y));
        later = static_cast<Node>(std::max(x, y));
        return fixed == nullptr || (fixed[later] == kDecidedByRule && fixed[earlier] != kFixedRemoved);
    };
    // Counts at starts[v + 2], summed, then advanced as cursors at
    // starts[v + 1]: after the scatter node v's list is starts[v] ..
    // starts[v + 1] - 1.
    std::vector<std::size_t> starts(n + 2, 0);
    Node earlier = 0;
    Node later = 0;
    for (std::size_t k = 0; k < edges.count; ++k) {
        if (ends(k, earlier, later)) ++starts[std::size_t{later} + 2];
    }
    for (std::size_t v = 2; v < starts.size(); ++v) starts[v] += starts[v - 1];
    const std::size_t total = starts.back();
    // Zeroed: a slot left unfilled names node 0, never a node out of range.
    std::vector<Node> neighbour(total);
    std::vector<double> weight(total);
    for (std::size_t k = 0; k < edges.count; ++k) {
        if (!ends(k, earlier, later)) continue;
        const std::size_t slot = starts[std::size_t{later} + 1]++;
        if (slot >= total) [[unlikely]]
            broken_edges();
        neighbour[slot] = earlier;
        weight[slot] = edges.cosine[k];
    }

    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t v = 0; v < n; ++v) {
        out.duplicate_of[v] = -1;
        out.cosine[v] = kNone;
        if (fixed != nullptr && fixed[v] != kDecidedByRule) {
            out.keep[v] = fixed[v] == kFixedKept ? 1 : 0;
            continue;
        }
        bool found = false;
        Node best = 0;
        double best_cosine = 0.0;
        for (std::size_t slot = starts[v]; slot < starts[v + 1]; ++slot) {
            const Node u = neighbour[slot];
            if (out.keep[u] == 0) continue;
            if (!found || preferred(weight[slot], u, best_cosine, best)) {
                found = true;
                best = u;
                best_cosine = weight[slot];
            }
        }
        out.keep[v] = found ? 0 : 1;
        if (found) {
            out.duplicate_of[v] = best;
            out.cosine[v] = best_cosine;
        }
    }
}

}  // namespace lsh
