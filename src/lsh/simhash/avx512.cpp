// The SimHash kernel for AVX-512: eight lanes of 64 bits, with a 64-bit
// multiplication (DQ) and mask registers for the sign step and the blend.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/simhash/kernels.hpp"

// GCC 12's AVX-512 headers fill the unused pass-through operand of some
// intrinsics with a self-initialised "undefined" vector, which
// -Wmaybe-uninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)

#include "lsh/simd/avx512.hpp"
#include "lsh/simhash/body.hpp"

namespace lsh::detail {
extern const SimhashKernel kSimhashAvx512 = simhash_entry<simd::Avx512>();
}  // namespace lsh::detail

LSH_TARGET_END

#pragma GCC diagnostic pop

#endif
