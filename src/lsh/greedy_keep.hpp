// The sequential greedy keep/remove rule over ranked nodes and the pairs
// between them.
//
// Nodes 0 .. n-1 are in rank order (node 0 ranks first). Edges are unordered
// pairs of distinct nodes with a cosine, in any order and orientation; the
// same pair may be given more than once. Nodes are decided in rank order: a
// node decided by the rule is removed exactly when one of its neighbours of
// better rank is kept, and kept otherwise. A node may instead be fixed in
// advance, kept or removed whatever its neighbours (a decision made earlier);
// a fixed-removed node never removes anyone. Without fixed nodes the kept
// nodes are the first maximal independent set of the graph in rank order.
//
// A removed node duplicates the kept neighbour of better rank with the
// highest cosine, ties going to the better rank. Among copies of one pair
// that differ only in the sign of a zero cosine, +0.0 is taken, so that the
// whole result is a function of the set of edges, not of their order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lsh {

// A node's decision given in advance, or none.
inline constexpr std::int8_t kDecidedByRule = -1;
inline constexpr std::int8_t kFixedRemoved = 0;
inline constexpr std::int8_t kFixedKept = 1;

struct GreedyEdges {
    const std::int64_t* a = nullptr;
    const std::int64_t* b = nullptr;
    const double* cosine = nullptr;
    std::size_t count = 0;
};

// The first fault of an input: the first edge with a node outside [0, n)
// (a before b), joining a node to itself, or with a cosine that is not
// finite; after the edges, the first fixed decision that is not one of the
// three above.
struct GreedyFault {
    enum class Kind : std::uint8_t { none, a_range, b_range, self_edge, cosine_not_finite, fixed_value };
    Kind kind = Kind::none;
    std::size_t index = 0;
};

// `fixed` is null (every node decided by the rule) or holds n decisions.
GreedyFault greedy_input_fault(std::size_t n, const GreedyEdges& edges, const std::int8_t* fixed) noexcept;

// n entries each: keep 1 or 0; for a node removed by the rule the node it
// duplicates and the cosine of their pair, for every other node -1 and NaN.
struct GreedyOutput {
    std::uint8_t* keep = nullptr;
    std::int64_t* duplicate_of = nullptr;
    double* cosine = nullptr;
};

// The decisions of every node, for an input without fault (checked by the
// caller) and n < 2^32; a node out of range is an internal failure. Takes
// O(n + m) time and, beyond the output, 8 bytes per node and 12 per edge
// that can matter (its later node decided by the rule, its earlier node not
// fixed-removed): a list of each node's neighbours of better rank.
void greedy_keep(std::size_t n, const GreedyEdges& edges, const std::int8_t* fixed, const GreedyOutput& out);

}  // namespace lsh
