// The cell-scan dot products for AVX-512: sixteen components per vector.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include "lsh/scan/kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)
// GCC 12's AVX-512 headers fill unused pass-through operands with a
// self-initialised "undefined" vector, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lsh/scan/body.hpp"
#include "lsh/simd/avx512.hpp"

namespace lsh::detail {
extern const ScanKernels kScanAvx512 = scan_entry<simd::Avx512>();
}  // namespace lsh::detail

#pragma GCC diagnostic pop
LSH_TARGET_END

#endif
