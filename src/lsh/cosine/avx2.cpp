// The exact dot products for AVX2 with FMA: four pairs per vector of
// doubles, their floats gathered with 64-bit offsets.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/cosine/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/cosine/body.hpp"
#include "lsh/simd/avx2.hpp"

namespace lsh::detail {
extern const CosineKernels kCosineAvx2 = cosine_entry<simd::Avx2>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
