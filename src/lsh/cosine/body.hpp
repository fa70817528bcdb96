// The exact dot products, written once over a target's operations (a struct
// of lsh/simd: Scalar, Avx2, Avx512 or Neon). Included after
// lsh/cosine/kernels.hpp by cosine/kernels.cpp and, inside their target
// regions, by the per-target units simd/avx2.cpp, simd/avx512.cpp and
// simd/neon.cpp (see simd/target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cosine/kernels.hpp"

namespace lsh::detail {
// Every target compiles its own copy; see simd/target.hpp.
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

// G * kF64Lanes ordered sums side by side, one pair per lane, each from +0.0
// adding x[k] * y[k] with mul_add_f64 (fused or not: the product of two
// widened floats is exact). Lanes beyond `count` repeat the first pair and
// are not stored.
template <class V, std::size_t G>
void dot_group(const float* x_base, std::ptrdiff_t x_stride, const float* y_base, std::ptrdiff_t y_stride,
               std::size_t d, const std::int64_t* left, const std::int64_t* right, std::size_t count, double* out) {
    constexpr std::size_t L = V::kF64Lanes;
    alignas(64) std::int64_t x_start[G * L];
    alignas(64) std::int64_t y_start[G * L];
    for (std::size_t j = 0; j < G * L; ++j) {
        const std::size_t k = j < count ? j : 0;
        x_start[j] = left[k] * x_stride;
        y_start[j] = right[k] * y_stride;
    }
    typename V::I64 x_at[G];
    typename V::I64 y_at[G];
    typename V::F64 sum[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        x_at[g] = V::load_i64(x_start + g * L);
        y_at[g] = V::load_i64(y_start + g * L);
        sum[g] = V::zero_f64();
    }
    for (std::size_t i = 0; i < d; ++i) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const typename V::F64 x = V::gather_widen_f32(x_base, x_at[g]);
            const typename V::F64 y = V::gather_widen_f32(y_base, y_at[g]);
            sum[g] = V::mul_add_f64(x, y, sum[g]);
            x_at[g] = V::add_i64(x_at[g], V::splat_i64(1));
            y_at[g] = V::add_i64(y_at[g], V::splat_i64(1));
        }
    }
    alignas(64) double sums[G * L];
    for (std::size_t g = 0; g < G; ++g) V::store_f64(sums + g * L, sum[g]);
    for (std::size_t j = 0; j < count && j < G * L; ++j) out[j] = sums[j];
}

template <class V, std::size_t G>
void dot_pairs(const float* x_base, std::ptrdiff_t x_stride, const float* y_base, std::ptrdiff_t y_stride,
               std::size_t d, const std::int64_t* left, const std::int64_t* right, std::size_t count, double* out) {
    constexpr std::size_t kGroup = G * V::kF64Lanes;
    std::size_t done = 0;
    for (; count - done >= kGroup; done += kGroup)
        dot_group<V, G>(x_base, x_stride, y_base, y_stride, d, left + done, right + done, kGroup, out + done);
    // The rest in as few lanes as cover it.
    while (done < count) {
        const std::size_t rest = count - done;
        if (rest > kGroup / 2 || G == 1) {
            dot_group<V, G>(x_base, x_stride, y_base, y_stride, d, left + done, right + done, rest, out + done);
            done = count;
        } else {
            const std::size_t n = rest < V::kF64Lanes ? rest : V::kF64Lanes;
            dot_group<V, 1>(x_base, x_stride, y_base, y_stride, d, left + done, right + done, n, out + done);
            done += n;
        }
    }
}

// The table entry of target V: four vectors of pairs at a time.
template <class V>
constexpr CosineKernels cosine_entry() {
    return {V::kIsa, &dot_pairs<V, 4>};
}

}  // namespace
}  // namespace lsh::detail
