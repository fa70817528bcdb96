// The exact dot products for AVX-512: eight pairs per vector of doubles,
// their floats gathered with 64-bit offsets.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/cosine/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)
// GCC 12's AVX-512 headers fill unused pass-through operands with a
// self-initialised "undefined" vector, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lsh/cosine/body.hpp"
#include "lsh/simd/avx512.hpp"

namespace lsh::detail {
extern const CosineKernels kCosineAvx512 = cosine_entry<simd::Avx512>();
}  // namespace lsh::detail

#pragma GCC diagnostic pop
LSH_TARGET_END

#endif
