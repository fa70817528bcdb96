#include "lsh/cpu.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace lsh {

namespace {

#if defined(__x86_64__)
std::uint32_t detect_features() noexcept {
    std::uint32_t features = 0;
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    if (!osxsave || (ecx & bit_AVX) == 0) return 0;
    if ((ecx & bit_FMA) != 0) features |= kFeatureFma;
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 0x6u) == 0x6u) features |= kFeatureYmmState;    // SSE and AVX state
    if ((xcr0_lo & 0xE6u) == 0xE6u) features |= kFeatureZmmState;  // plus opmask and ZMM state
    if (__get_cpuid_max(0, nullptr) < 7) return features;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if ((ebx & bit_AVX2) != 0) features |= kFeatureAvx2;
    if ((ebx & bit_AVX512F) != 0) features |= kFeatureAvx512F;
    if ((ebx & bit_AVX512DQ) != 0) features |= kFeatureAvx512Dq;
    if ((ebx & bit_AVX512VL) != 0) features |= kFeatureAvx512Vl;
    if ((ebx & bit_AVX512BW) != 0) features |= kFeatureAvx512Bw;
    return features;
}
#elif defined(__aarch64__) && defined(__linux__)
std::uint32_t detect_features() noexcept {
    const unsigned long hwcap = getauxval(AT_HWCAP);
    return (hwcap & HWCAP_ASIMD) != 0 ? kFeatureNeon : 0u;
}
#else
std::uint32_t detect_features() noexcept { return 0; }
#endif

const IsaTarget* target_of(Isa isa) noexcept {
    for (const IsaTarget& target : kIsaTargets) {
        if (target.isa == isa) return &target;
    }
    return nullptr;
}

Isa choose_isa() noexcept {
    for (const IsaTarget& target : kIsaTargets) {
        if (isa_supported(target.isa)) return target.isa;
    }
    return Isa::scalar;
}

}  // namespace

std::uint32_t cpu_features() noexcept {
    static const std::uint32_t features = detect_features();
    return features;
}

bool isa_supported(Isa isa) noexcept {
    // Each architecture detects only its own features, so the other's targets
    // never pass.
    const IsaTarget* target = target_of(isa);
    return target != nullptr && (cpu_features() & target->requires_features) == target->requires_features;
}

Isa best_isa() noexcept {
    static const Isa isa = choose_isa();
    return isa;
}

const char* isa_name(Isa isa) noexcept {
    const IsaTarget* target = target_of(isa);
    return target != nullptr ? target->name : "unknown";
}

}  // namespace lsh
