// The portable SimHash loop (the reference every target matches bit for
// bit) and the table the signatures pick from.
#include "lsh/simhash/kernels.hpp"

#include <span>

namespace lsh {

namespace detail {

namespace {

// The portable reference: one sign evaluation and one ordered addition per
// step. Every other kernel must reproduce its bits exactly.
void scalar_window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
                   std::uint64_t first_component, std::uint8_t* out) {
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t w = first + k;
        double sum = -0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (projection_sign_positive(family, w, first_component + i)) {
                sum = sum + v[i];
            } else {
                sum = sum + (-v[i]);
            }
        }
        out[k] = sum > 0.0 ? 1 : 0;
    }
}

}  // namespace

extern const SimhashKernel kSimhashScalar{Isa::scalar, &scalar_window};

}  // namespace detail

namespace {

// Every kernel of this build, best first (the order of kIsaTargets).
constexpr const SimhashKernel* kKernels[] = {
#if LSH_HAVE_X86_TARGETS
    &detail::kSimhashAvx512,
    &detail::kSimhashAvx2,
#endif
#if LSH_HAVE_NEON_TARGETS
    &detail::kSimhashNeon,
#endif
    &detail::kSimhashScalar,
};

}  // namespace

const SimhashKernel* find_simhash_kernel(Isa isa) noexcept {
    return find_kernel(std::span<const SimhashKernel* const>(kKernels), isa);
}

const SimhashKernel& simhash_kernel() noexcept {
    static const SimhashKernel& kernel = best_kernel(std::span<const SimhashKernel* const>(kKernels));
    return kernel;
}

}  // namespace lsh
