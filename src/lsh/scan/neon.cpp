// The cell-scan dot products for Advanced SIMD (aarch64): four components
// per vector.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include "lsh/scan/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/scan/body.hpp"
#include "lsh/simd/neon.hpp"

namespace lsh::detail {
extern const ScanKernels kScanNeon = scan_entry<simd::Neon>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
