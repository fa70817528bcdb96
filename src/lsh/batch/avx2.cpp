// The batch kernels for AVX2 with FMA: a float32 block of 6 rows by 16
// columns (12 accumulators of the 16 ymm registers), four double lanes for
// the ordered sums.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/batch/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/batch/body.hpp"
#include "lsh/simd/avx2.hpp"

namespace lsh::detail {
extern const BatchKernels kBatchAvx2 = batch_entry<simd::Avx2, 6, 2>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
