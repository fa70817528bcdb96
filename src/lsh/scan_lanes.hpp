// The body of the cell-scan dot products, written once over a target's ops
// struct. Included by the per-target translation units inside their target
// region (see simd/target.hpp); everything here has internal linkage.
//
// A target supplies an ops struct with:
//   F, kFloats                float32 vector type and its lane count
//   zero(), load(p)           a zero vector, an unaligned load of kFloats floats
//   fmadd(a, b, acc)          acc + a * b per lane (fused or not)
//   sum(v)                    the lanes of v added together
#pragma once

#include <cstddef>
#include <cstdint>

namespace lsh::detail {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

// Queries taken four at a time, so that each row is loaded once per four.
constexpr std::size_t kScanQueries = 4;

template <class Ops>
void scan_dots(const float* queries, std::ptrdiff_t query_stride, const std::int64_t* query_index, std::size_t m,
               const float* rows, std::ptrdiff_t row_stride, const std::int64_t* row_index, std::int64_t first,
               std::size_t count, std::size_t d, float* out) {
    constexpr std::size_t w = Ops::kFloats;
    const std::size_t full = d / w * w;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t r = row_index != nullptr ? row_index[i] : first + static_cast<std::int64_t>(i);
        const float* x = rows + r * row_stride;
        for (std::size_t j0 = 0; j0 < m; j0 += kScanQueries) {
            const std::size_t n = m - j0 < kScanQueries ? m - j0 : kScanQueries;
            const float* q[kScanQueries];
            for (std::size_t t = 0; t < kScanQueries; ++t) {
                q[t] = queries + query_index[j0 + (t < n ? t : 0)] * query_stride;
            }
            typename Ops::F acc[kScanQueries] = {Ops::zero(), Ops::zero(), Ops::zero(), Ops::zero()};
            for (std::size_t k = 0; k < full; k += w) {
                const typename Ops::F v = Ops::load(x + k);
                for (std::size_t t = 0; t < kScanQueries; ++t) acc[t] = Ops::fmadd(Ops::load(q[t] + k), v, acc[t]);
            }
            for (std::size_t t = 0; t < n; ++t) {
                float tail = 0.0f;
                for (std::size_t k = full; k < d; ++k) tail += q[t][k] * x[k];
                out[(j0 + t) * count + i] = Ops::sum(acc[t]) + tail;
            }
        }
    }
}

}  // namespace
}  // namespace lsh::detail
