// The SimHash kernel for Advanced SIMD (aarch64): two lanes of 64 bits.
// NEON has no 64-bit multiplication either, so, as for AVX2, the low 64 bits
// of x * kSplitMixMix1 come from 32x32 widening products (UMULL), with the
// cross term of x's high half fixed per segment.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include "lsh/simhash/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/simd/neon.hpp"
#include "lsh/simhash/body.hpp"

namespace lsh::detail {
extern const SimhashKernel kSimhashNeon = simhash_entry<simd::Neon>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
