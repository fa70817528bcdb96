// Run-time detection of the vector instruction sets the signature kernels use.
#include "lsh/simhash.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace lsh {

namespace {

#if defined(__x86_64__)
struct CpuFeatures {
    bool avx2 = false;
    bool avx512 = false;  // F + DQ + VL, with the OS saving the ZMM state
};

CpuFeatures detect() noexcept {
    CpuFeatures features;
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    if (!osxsave || !avx) return features;
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    const bool ymm_state = (xcr0_lo & 0x6u) == 0x6u;           // SSE and AVX state
    const bool zmm_state = (xcr0_lo & 0xE6u) == 0xE6u;         // plus opmask and ZMM state
    if (__get_cpuid_max(0, nullptr) < 7) return features;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    features.avx2 = ymm_state && (ebx & bit_AVX2) != 0;
    features.avx512 = zmm_state && (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512DQ) != 0 &&
                      (ebx & bit_AVX512VL) != 0;
    return features;
}

const CpuFeatures& features() noexcept {
    static const CpuFeatures detected = detect();
    return detected;
}
#endif

}  // namespace

bool kernel_supported(SimhashKernel kernel) noexcept {
    switch (kernel) {
        case SimhashKernel::scalar: return true;
#if defined(__x86_64__)
        case SimhashKernel::avx2: return features().avx2;
        case SimhashKernel::avx512: return features().avx512;
#else
        default: return false;
#endif
    }
    return false;
}

#if defined(__x86_64__)
namespace detail {
// Placeholders until the vector kernels land: the portable loop.
void signature_bits_avx2(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits,
                         std::uint8_t* out) {
    signature_bits_scalar(v, n, family, bits, out);
}
void signature_bits_avx512(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits,
                           std::uint8_t* out) {
    signature_bits_scalar(v, n, family, bits, out);
}
}  // namespace detail
#endif

}  // namespace lsh
