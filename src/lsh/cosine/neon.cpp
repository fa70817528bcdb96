// The exact dot products for Advanced SIMD (aarch64): two pairs per vector
// of doubles, each lane's float loaded into its lane (NEON has no gather)
// and the pair widened exactly.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include "lsh/cosine/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/cosine/body.hpp"
#include "lsh/simd/neon.hpp"

namespace lsh::detail {
extern const CosineKernels kCosineNeon = cosine_entry<simd::Neon>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
