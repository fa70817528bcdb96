// The per-instruction-set kernel of the exact cosines: ordered double dot
// products of float32 rows, many pairs side by side.
//
// dot(x, y) is the ordered double sum s = +0.0; s = s + (double)x[k] *
// (double)y[k] for k = 0 .. d-1. A product of two floats is exact in double
// (24 + 24 significant bits fit in 53, and the product of two floats lies
// between 2^-298 and 2^256, inside the range of normal doubles), so the
// rounded product equals the exact one and fma(x[k], y[k], s), which rounds
// x[k] * y[k] + s once, gives the same bits as the multiplication followed by
// the rounded addition. A kernel may therefore run one sum per vector lane,
// each lane a different pair walking its components in increasing order,
// with fused or separate multiply-add alike; one sum is never split across
// lanes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"
#include "lsh/simd/target.hpp"

namespace lsh {

struct CosineKernels {
    Isa isa;

    // out[j] = dot(x + left[j] * x_stride, y + right[j] * y_stride) for
    // j < count, over d floats from each (strides in floats). Runs under the
    // default floating-point environment.
    void (*dots)(const float* x, std::ptrdiff_t x_stride, const float* y, std::ptrdiff_t y_stride, std::size_t d,
                 const std::int64_t* left, const std::int64_t* right, std::size_t count, double* out);
};

// The best kernel this CPU supports, chosen once per process.
const CosineKernels& cosine_kernels() noexcept;
// The kernel of one target, or nullptr when the CPU cannot run it.
const CosineKernels* find_cosine_kernels(Isa isa) noexcept;

namespace detail {
extern const CosineKernels kCosineScalar;
#if LSH_HAVE_X86_TARGETS
extern const CosineKernels kCosineAvx2;
extern const CosineKernels kCosineAvx512;
#endif
#if LSH_HAVE_NEON_TARGETS
extern const CosineKernels kCosineNeon;
#endif
}  // namespace detail

}  // namespace lsh
