// The cell-scan dot products for AVX-512: sixteen components per vector.
#include "lsh/simd/target.hpp"

#if LSH_HAVE_X86_TARGETS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "lsh/scan_kernels.hpp"

LSH_TARGET_BEGIN(LSH_TARGET_AVX512)
// GCC 12's AVX-512 headers fill unused pass-through operands with a
// self-initialised "undefined" vector, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "lsh/scan_lanes.hpp"

namespace lsh::detail {
namespace {

struct Avx512Ops {
    using F = __m512;
    static constexpr std::size_t kFloats = 16;
    static F zero() noexcept { return _mm512_setzero_ps(); }
    static F load(const float* p) noexcept { return _mm512_loadu_ps(p); }
    static F fmadd(F a, F b, F acc) noexcept { return _mm512_fmadd_ps(a, b, acc); }
    static float sum(F v) noexcept { return _mm512_reduce_add_ps(v); }
};

}  // namespace

extern const ScanKernels kScanAvx512{Isa::avx512, &scan_dots<Avx512Ops>};
}  // namespace lsh::detail

#pragma GCC diagnostic pop
LSH_TARGET_END

#endif
