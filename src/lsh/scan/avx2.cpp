// The cell-scan dot products for AVX2 with FMA: eight components per vector.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/scan/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX2)

#include "lsh/scan/body.hpp"
#include "lsh/simd/avx2.hpp"

namespace lsh::detail {
extern const ScanKernels kScanAvx2 = scan_entry<simd::Avx2>();
}  // namespace lsh::detail

LSH_TARGET_END

#endif
