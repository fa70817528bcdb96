// The portable cell-scan dot products and the table the engine picks from.
// The targets need not match it bit for bit: the scans only rule pairs out,
// under a bound that holds for every order of summation (scan/kernels.hpp).
#include "lsh/scan/kernels.hpp"

#include <span>

#include "lsh/scan/body.hpp"
#include "lsh/simd/scalar.hpp"

namespace lsh {

namespace detail {
extern const ScanKernels kScanScalar = scan_entry<simd::Scalar>();
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
