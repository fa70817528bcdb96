// The portable exact dot products (the reference every target matches bit
// for bit) and the table the engine picks from.
#include "lsh/cosine/kernels.hpp"

#include <span>

#include "lsh/cosine/body.hpp"
#include "lsh/simd/scalar.hpp"

namespace lsh {

namespace detail {
extern const CosineKernels kCosineScalar = cosine_entry<simd::Scalar>();
}  // namespace detail

namespace {

// Best first, ending with the portable kernel.
constexpr const CosineKernels* kKernels[] = {
#if LSH_HAVE_X86_TARGETS
    &detail::kCosineAvx512,
    &detail::kCosineAvx2,
#endif
#if LSH_HAVE_NEON_TARGETS
    &detail::kCosineNeon,
#endif
    &detail::kCosineScalar,
};

}  // namespace

const CosineKernels& cosine_kernels() noexcept {
    static const CosineKernels& kernels = best_kernel(std::span<const CosineKernels* const>(kKernels));
    return kernels;
}

const CosineKernels* find_cosine_kernels(Isa isa) noexcept {
    return find_kernel(std::span<const CosineKernels* const>(kKernels), isa);
}

}  // namespace lsh
