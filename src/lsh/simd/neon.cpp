// Every kernel family compiled for Advanced SIMD (aarch64): the table entries
// kSimhashNeon, kBatchNeon, kCosineNeon and kScanNeon, each the family's body
// over simd::Neon (four floats, two doubles per vector).
#include "lsh/simd/target.hpp"

#if LSH_HAVE_NEON_TARGETS

#include <arm_neon.h>

#include "lsh/batch/kernels.hpp"
#include "lsh/cosine/kernels.hpp"
#include "lsh/scan/kernels.hpp"
#include "lsh/simhash/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_NEON)

#include "lsh/batch/body.hpp"
#include "lsh/cosine/body.hpp"
#include "lsh/scan/body.hpp"
#include "lsh/simd/neon.hpp"
#include "lsh/simhash/body.hpp"

namespace lsh::detail {

// Two bits per vector; NEON has no 64-bit multiplication either, so, as for
// AVX2, the low 64 bits of x * kSplitMixMix1 come from 32x32 widening
// products (UMULL), the cross term of x's high half fixed per segment.
extern const SimhashKernel kSimhashNeon = simhash_entry<simd::Neon>();

// A float32 block of 5 rows by 16 columns, two double lanes for the ordered
// sums. The compiler turns the broadcasts into multiply-adds by element, so
// a step holds its 20 accumulators, the 4 vectors of one sign-panel row and
// the 5 row values in 29 of the 32 q registers; 6 rows would need 34 and
// spill accumulators.
extern const BatchKernels kBatchNeon = batch_entry<simd::Neon, 5, 4>();

// Two pairs per vector of doubles, each lane's float loaded into its lane
// (NEON has no gather) and the pair widened exactly.
extern const CosineKernels kCosineNeon = cosine_entry<simd::Neon>();

// Four components per vector.
extern const ScanKernels kScanNeon = scan_entry<simd::Neon>();

}  // namespace lsh::detail

LSH_TARGET_END

#endif
