// The portable cell-scan dot products and the table the engine picks from.
// The targets need not match it bit for bit: the scans only rule pairs out,
// under a bound that holds for every order of summation (scan_kernels.hpp).
#include "lsh/scan_kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "lsh/scan_lanes.hpp"

namespace lsh {

namespace detail {
namespace {

struct ScalarOps {
    using F = float;
    static constexpr std::size_t kFloats = 1;
    static F zero() noexcept { return 0.0f; }
    static F load(const float* p) noexcept { return *p; }
    // Built with -ffp-contract=off: a rounded product, then a rounded addition.
    static F fmadd(F a, F b, F acc) noexcept { return acc + a * b; }
    static float sum(F v) noexcept { return v; }
};

}  // namespace

extern const ScanKernels kScanScalar{Isa::scalar, &scan_dots<ScalarOps>};

}  // namespace detail

namespace {

// Best first, ending with the portable kernel.
constexpr const ScanKernels* kKernels[] = {
#if LSH_HAVE_X86_TARGETS
    &detail::kScanAvx512,
    &detail::kScanAvx2,
#endif
#if LSH_HAVE_NEON_TARGETS
    &detail::kScanNeon,
#endif
    &detail::kScanScalar,
};

}  // namespace

const ScanKernels& scan_kernels() noexcept {
    static const ScanKernels& kernels = best_kernel(std::span<const ScanKernels* const>(kKernels));
    return kernels;
}

const ScanKernels* find_scan_kernels(Isa isa) noexcept {
    return find_kernel(std::span<const ScanKernels* const>(kKernels), isa);
}

}  // namespace lsh
