// The cell-scan dot products, written once over a target's operations (a
// struct of lsh/simd: Scalar, Avx2, Avx512 or Neon). Included after
// lsh/scan/kernels.hpp by scan/kernels.cpp and, inside their target regions,
// by the per-target units simd/avx2.cpp, simd/avx512.cpp and simd/neon.cpp
// (see simd/target.hpp); everything here has internal linkage.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/scan/kernels.hpp"

namespace lsh::detail {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

// Queries taken four at a time, so that each row is loaded once per four.
constexpr std::size_t kScanQueries = 4;

// Per query, one partial sum per lane (mul_add_f32, fused or not), the lanes
// added in the target's order, then the components past the last full
// vector in order.
template <class V>
void scan_dots(const float* queries, std::ptrdiff_t query_stride, const std::int64_t* query_index, std::size_t m,
               const float* rows, std::ptrdiff_t row_stride, const std::int64_t* row_index, std::int64_t first,
               std::size_t count, std::size_t d, float* out) {
    constexpr std::size_t w = V::kF32Lanes;
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
            typename V::F32 acc[kScanQueries] = {V::zero_f32(), V::zero_f32(), V::zero_f32(), V::zero_f32()};
            for (std::size_t k = 0; k < full; k += w) {
                const typename V::F32 v = V::load_f32(x + k);
                for (std::size_t t = 0; t < kScanQueries; ++t)
                    acc[t] = V::mul_add_f32(V::load_f32(q[t] + k), v, acc[t]);
            }
            for (std::size_t t = 0; t < n; ++t) {
                float tail = 0.0f;
                for (std::size_t k = full; k < d; ++k) tail += q[t][k] * x[k];
                out[(j0 + t) * count + i] = V::sum_lanes_f32(acc[t]) + tail;
            }
        }
    }
}

// The table entry of target V.
template <class V>
constexpr ScanKernels scan_entry() {
    return {V::kIsa, &scan_dots<V>};
}

}  // namespace
}  // namespace lsh::detail
