// A union-find over n elements (union by size, path halving). Which
// element ends up a set's representative depends only on the sequence of
// unions, never on timing: callers that need deterministic results make the
// unions in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace lsh {

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : parent_(n), size_(n, 1) {
        for (std::size_t k = 0; k < n; ++k) parent_[k] = static_cast<std::uint32_t>(k);
    }

    // The representative of x's set, halving the path on the way.
    std::uint32_t find(std::uint32_t x) noexcept {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    // The representative without changing anything: safe for concurrent
    // readers while no thread unites.
    std::uint32_t root(std::uint32_t x) const noexcept {
        while (parent_[x] != x) x = parent_[x];
        return x;
    }

    // Unites the sets of a and b; returns false when they were one already.
    bool unite(std::uint32_t a, std::uint32_t b) noexcept {
        a = find(a);
        b = find(b);
        if (a == b) return false;
        if (size_[a] < size_[b] || (size_[a] == size_[b] && b < a)) std::swap(a, b);
        parent_[b] = a;
        size_[a] += size_[b];
        return true;
    }

private:
    std::vector<std::uint32_t> parent_;
    std::vector<std::uint32_t> size_;
};

}  // namespace lsh
