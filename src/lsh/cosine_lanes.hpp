// The exact dot products, written once for every target over a small "ops"
// struct. Included by the per-target translation units inside their target
// region (see simd/target.hpp), after lsh/cosine_kernels.hpp.
//
// A target supplies an ops struct with:
//   D, I, kLanes        a vector of kLanes doubles and of kLanes int64 offsets
//   offsets(p), advance(i), gather_widen(base, i): the floats at base + i,
//   widened exactly; zero(), fmadd(x, y, acc) = acc + x * y (fused or not:
//   the product of two widened floats is exact), store(p, d)
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cosine_kernels.hpp"

namespace lsh::detail {
// Every target compiles its own copy; see simd/target.hpp.
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

// G * kLanes ordered sums side by side, one pair per lane. Lanes beyond
// `count` repeat the first pair and are not stored.
template <class Ops, std::size_t G>
void dot_group(const float* x_base, std::ptrdiff_t x_stride, const float* y_base, std::ptrdiff_t y_stride,
               std::size_t d, const std::int64_t* left, const std::int64_t* right, std::size_t count, double* out) {
    constexpr std::size_t L = Ops::kLanes;
    alignas(64) std::int64_t x_start[G * L];
    alignas(64) std::int64_t y_start[G * L];
    for (std::size_t j = 0; j < G * L; ++j) {
        const std::size_t k = j < count ? j : 0;
        x_start[j] = left[k] * x_stride;
        y_start[j] = right[k] * y_stride;
    }
    typename Ops::I x_at[G];
    typename Ops::I y_at[G];
    typename Ops::D sum[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        x_at[g] = Ops::offsets(x_start + g * L);
        y_at[g] = Ops::offsets(y_start + g * L);
        sum[g] = Ops::zero();
    }
    for (std::size_t i = 0; i < d; ++i) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const typename Ops::D x = Ops::gather_widen(x_base, x_at[g]);
            const typename Ops::D y = Ops::gather_widen(y_base, y_at[g]);
            sum[g] = Ops::fmadd(x, y, sum[g]);
            x_at[g] = Ops::advance(x_at[g]);
            y_at[g] = Ops::advance(y_at[g]);
        }
    }
    alignas(64) double sums[G * L];
    for (std::size_t g = 0; g < G; ++g) Ops::store(sums + g * L, sum[g]);
    for (std::size_t j = 0; j < count && j < G * L; ++j) out[j] = sums[j];
}

template <class Ops, std::size_t G>
void dot_pairs(const float* x_base, std::ptrdiff_t x_stride, const float* y_base, std::ptrdiff_t y_stride,
               std::size_t d, const std::int64_t* left, const std::int64_t* right, std::size_t count, double* out) {
    constexpr std::size_t kGroup = G * Ops::kLanes;
    std::size_t done = 0;
    for (; count - done >= kGroup; done += kGroup)
        dot_group<Ops, G>(x_base, x_stride, y_base, y_stride, d, left + done, right + done, kGroup, out + done);
    // The rest in as few lanes as cover it.
    while (done < count) {
        const std::size_t rest = count - done;
        if (rest > kGroup / 2 || G == 1) {
            dot_group<Ops, G>(x_base, x_stride, y_base, y_stride, d, left + done, right + done, rest, out + done);
            done = count;
        } else {
            const std::size_t n = rest < Ops::kLanes ? rest : Ops::kLanes;
            dot_group<Ops, 1>(x_base, x_stride, y_base, y_stride, d, left + done, right + done, n, out + done);
            done += n;
        }
    }
}

}  // namespace
}  // namespace lsh::detail
