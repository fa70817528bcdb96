// The portable batch kernels (plain C++ that the compiler may vectorise for
// the build's baseline) and the table the engine picks from.
#include "lsh/batch/kernels.hpp"

#include <span>

#include "lsh/batch/body.hpp"
#include "lsh/simd/scalar.hpp"

namespace lsh {

namespace detail {
// Blocks of 4 rows by 16 columns.
extern const BatchKernels kBatchScalar = batch_entry<simd::Scalar, 4, 16>();
}  // namespace detail

namespace {

// Best first, ending with the portable kernels.
constexpr const BatchKernels* kKernels[] = {
#if LSH_HAVE_X86_TARGETS
    &detail::kBatchAvx512,
    &detail::kBatchAvx2,
#endif
#if LSH_HAVE_NEON_TARGETS
    &detail::kBatchNeon,
#endif
    &detail::kBatchScalar,
};

}  // namespace

const BatchKernels& batch_kernels() noexcept {
    static const BatchKernels& kernels = best_kernel(std::span<const BatchKernels* const>(kKernels));
    return kernels;
}

const BatchKernels* find_batch_kernels(Isa isa) noexcept {
    return find_kernel(std::span<const BatchKernels* const>(kKernels), isa);
}

}  // namespace lsh
