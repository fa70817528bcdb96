// Every kernel family compiled for AVX2 with FMA: the table entries
// kSimhashAvx2, kBatchAvx2, kCosineAvx2 and kScanAvx2, each the family's body
// over simd::Avx2 (eight floats, four doubles per vector).
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/batch/kernels.hpp"
#include "lsh/cosine/kernels.hpp"
#include "lsh/scan/kernels.hpp"
#include "lsh/simhash/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/batch/body.hpp"
#include "lsh/cosine/body.hpp"
#include "lsh/scan/body.hpp"
#include "lsh/simd/avx2.hpp"
#include "lsh/simhash/body.hpp"

namespace lsh::detail {

// Four bits per vector; with no 64-bit multiplication, the low 64 bits of
// x * kSplitMixMix1 come from 32x32 products, the cross term of x's high
// half fixed per segment.
extern const SimhashKernel kSimhashAvx2 = simhash_entry<simd::Avx2>();

// A float32 block of 6 rows by 16 columns (12 accumulators of the 16 ymm
// registers), four double lanes for the ordered sums.
extern const BatchKernels kBatchAvx2 = batch_entry<simd::Avx2, 6, 2>();

// Four pairs per vector of doubles, their floats gathered with 64-bit offsets.
extern const CosineKernels kCosineAvx2 = cosine_entry<simd::Avx2>();

// Eight components per vector.
extern const ScanKernels kScanAvx2 = scan_entry<simd::Avx2>();

}  // namespace lsh::detail

LSH_TARGET_END

#endif
