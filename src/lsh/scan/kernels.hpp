// The per-instruction-set kernel of the cell scans: float32 dot products of
// a few query rows with many rows, read in place (a range, or picked by
// index), for a filter whose bound allows any order of summation.
//
// Each dot is summed in float32 in a kernel's own order: one partial sum per
// vector lane, the lanes added together, then the components past the last
// full vector. A product passes at most d / lanes + log2(lanes) + 2 <= d + 2
// roundings of 2^-24 on its way to the result (d the component count), so
// |P - S| <= gamma(d + 2, 2^-24) sum |q_k x_k| for the exact dot S
// (Higham, Accuracy and Stability of Numerical Algorithms, 2nd ed., 3.1),
// whatever the kernel; callers bound what they rule out with that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"
#include "lsh/simd/target.hpp"

namespace lsh {

struct ScanKernels {
    Isa isa;

    // out[j * count + i] = the float32 dot of query row q(j) and row r(i),
    // q(j) = queries + query_index[j] * query_stride and r(i) = rows +
    // (row_index ? row_index[i] : first + i) * row_stride (strides in
    // floats), over d floats, for j < m and i < count. Runs under the default
    // floating-point environment.
    void (*dots)(const float* queries, std::ptrdiff_t query_stride, const std::int64_t* query_index, std::size_t m,
                 const float* rows, std::ptrdiff_t row_stride, const std::int64_t* row_index, std::int64_t first,
                 std::size_t count, std::size_t d, float* out);
};

// The best kernel this CPU supports, chosen once per process.
const ScanKernels& scan_kernels() noexcept;
// The kernel of one target, or nullptr when the CPU cannot run it.
const ScanKernels* find_scan_kernels(Isa isa) noexcept;

namespace detail {
extern const ScanKernels kScanScalar;
#if LSH_HAVE_X86_TARGETS
extern const ScanKernels kScanAvx2;
extern const ScanKernels kScanAvx512;
#endif
#if LSH_HAVE_NEON_TARGETS
extern const ScanKernels kScanNeon;
#endif
}  // namespace detail

}  // namespace lsh
