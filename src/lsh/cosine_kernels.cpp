// The portable exact dot products (the reference every target matches bit
// for bit) and the table the engine picks from.
#include "lsh/cosine_kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "lsh/cosine_lanes.hpp"
#include "lsh/fp_env.hpp"

namespace lsh {

namespace detail {
namespace {

struct ScalarOps {
    using D = double;
    using I = std::int64_t;
    static constexpr std::size_t kLanes = 1;
    static I offsets(const std::int64_t* p) noexcept { return *p; }
    static I advance(I at) noexcept { return at + 1; }
    static D gather_widen(const float* base, I at) noexcept { return widen_to_double(base[at]); }
    static D zero() noexcept { return 0.0; }
    // Built with -ffp-contract=off: an exact product, then one rounded addition.
    static D fmadd(D x, D y, D acc) noexcept { return acc + x * y; }
    static void store(double* p, D v) noexcept { *p = v; }
};

}  // namespace

extern const CosineKernels kCosineScalar{Isa::scalar, &dot_pairs<ScalarOps, 4>};

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
