// The batch kernels for AVX-512: a float32 block of 12 rows by 32 columns
// (24 accumulators of the 32 zmm registers, so both FMA ports stay busy
// while one panel row and one row value are loaded per step), eight double
// lanes for the ordered sums.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/batch/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)
// GCC 12's AVX-512 headers fill unused pass-through operands with a
// self-initialised "undefined" vector, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lsh/batch/body.hpp"
#include "lsh/simd/avx512.hpp"

namespace lsh::detail {
extern const BatchKernels kBatchAvx512 = batch_entry<simd::Avx512, 12, 2>();
}  // namespace lsh::detail

#pragma GCC diagnostic pop
LSH_TARGET_END

#endif
