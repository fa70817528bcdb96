// The SimHash kernel for AVX2: four lanes of 64 bits. AVX2 has no 64-bit
// multiplication, so the low 64 bits of x * kSplitMixMix1 are built from
// 32x32 products; the cross term of x's high half is fixed per segment.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/simhash/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/simd/avx2.hpp"
#include "lsh/simhash/body.hpp"

namespace lsh::detail {
extern const SimhashKernel kSimhashAvx2 = simhash_entry<simd::Avx2>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
