// Every kernel family compiled for AVX-512 (F, DQ, VL, BW): the table entries
// kSimhashAvx512, kBatchAvx512, kCosineAvx512 and kScanAvx512, each the
// family's body over simd::Avx512 (sixteen floats, eight doubles per vector).
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/batch/kernels.hpp"
#include "lsh/cosine/kernels.hpp"
#include "lsh/scan/kernels.hpp"
#include "lsh/simhash/kernels.hpp"

// GCC 12's AVX-512 headers fill the unused pass-through operand of some
// intrinsics with a self-initialised "undefined" vector, which
// -Wmaybe-uninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)

#include "lsh/batch/body.hpp"
#include "lsh/cosine/body.hpp"
#include "lsh/scan/body.hpp"
#include "lsh/simd/avx512.hpp"
#include "lsh/simhash/body.hpp"

namespace lsh::detail {

// Eight bits per vector, with a 64-bit multiplication (DQ) and mask
// registers for the sign step and the blend.
extern const SimhashKernel kSimhashAvx512 = simhash_entry<simd::Avx512>();

// A float32 block of 12 rows by 32 columns (24 accumulators of the 32 zmm
// registers, so both FMA ports stay busy while one panel row and one row
// value are loaded per step), eight double lanes for the ordered sums.
extern const BatchKernels kBatchAvx512 = batch_entry<simd::Avx512, 12, 2>();

// Eight pairs per vector of doubles, their floats gathered with 64-bit
// offsets.
extern const CosineKernels kCosineAvx512 = cosine_entry<simd::Avx512>();

// Sixteen components per vector.
extern const ScanKernels kScanAvx512 = scan_entry<simd::Avx512>();

}  // namespace lsh::detail

LSH_TARGET_END

#pragma GCC diagnostic pop

#endif
