// The batch kernels for Advanced SIMD (aarch64): a float32 block of 5 rows
// by 16 columns, two double lanes for the ordered sums. The compiler turns
// the broadcasts into multiply-adds by element, so a step holds its 20
// accumulators, the 4 vectors of one sign-panel row and the 5 row values in
// 29 of the 32 q registers; 6 rows would need 34 and spill accumulators.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include "lsh/batch/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/batch/body.hpp"
#include "lsh/simd/neon.hpp"

namespace lsh::detail {
extern const BatchKernels kBatchNeon = batch_entry<simd::Neon, 5, 4>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
