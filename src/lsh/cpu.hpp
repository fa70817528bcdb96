// The instruction-set targets the numeric kernels are compiled for, and the
// run-time check of which of them this CPU and operating system can run.
//
// A kernel that exists in several versions keeps one table of them, best
// first and ending with the portable one, and picks from it once per process
// with `best_kernel`; see simd/target.hpp for how a version is compiled.
// Adding a target means one more `Isa` value, one more row of `kIsaTargets`
// and one more entry in the kernel tables.
#pragma once

#include <cstdint>
#include <span>

namespace lsh {

enum class Isa : std::uint8_t { scalar, avx2, avx512, neon };

// CPU features, one bit each. The "state" bits mean that the operating system
// saves the registers on a context switch (XCR0), without which the
// instructions fault even when the CPU has them.
enum CpuFeature : std::uint32_t {
    kFeatureAvx2 = 1u << 0,
    kFeatureFma = 1u << 1,
    kFeatureYmmState = 1u << 2,
    kFeatureAvx512F = 1u << 3,
    kFeatureAvx512Dq = 1u << 4,
    kFeatureAvx512Vl = 1u << 5,
    kFeatureAvx512Bw = 1u << 6,
    kFeatureZmmState = 1u << 7,
    // aarch64: Advanced SIMD with double-precision lanes (HWCAP_ASIMD). The
    // ABI makes it part of every AArch64 Linux system; it is still read from
    // the kernel's hardware capabilities rather than assumed.
    kFeatureNeon = 1u << 8,
};

struct IsaTarget {
    const char* name;
    std::uint32_t requires_features;  // CpuFeature bits, all of which must be present
    Isa isa;
};

// Every target, best first. The compile settings of each are the
// LSH_TARGET_* strings of simd/target.hpp; they must not ask for more than
// the features listed here.
inline constexpr IsaTarget kIsaTargets[] = {
    {"avx512",
     kFeatureAvx2 | kFeatureFma | kFeatureYmmState | kFeatureAvx512F | kFeatureAvx512Dq | kFeatureAvx512Vl |
         kFeatureAvx512Bw | kFeatureZmmState,
     Isa::avx512},
    {"avx2", kFeatureAvx2 | kFeatureFma | kFeatureYmmState, Isa::avx2},
    {"neon", kFeatureNeon, Isa::neon},
    {"scalar", 0, Isa::scalar},
};

// The CpuFeature bits of this CPU and operating system, detected once.
std::uint32_t cpu_features() noexcept;

// Whether this CPU and operating system can run code compiled for the target.
bool isa_supported(Isa isa) noexcept;

// The first supported target of kIsaTargets, chosen once per process.
Isa best_isa() noexcept;

const char* isa_name(Isa isa) noexcept;

// The first entry of a kernel table (best first; each entry has a member
// `isa`) that this CPU supports. The table ends with an entry for
// Isa::scalar, which is always supported.
template <class Kernel>
const Kernel& best_kernel(std::span<const Kernel* const> table) noexcept {
    for (const Kernel* kernel : table) {
        if (isa_supported(kernel->isa)) return *kernel;
    }
    return *table.back();
}

// The entry of a kernel table for `isa`, or nullptr when the table has none or
// the CPU cannot run it.
template <class Kernel>
const Kernel* find_kernel(std::span<const Kernel* const> table, Isa isa) noexcept {
    for (const Kernel* kernel : table) {
        if (kernel->isa == isa) return isa_supported(isa) ? kernel : nullptr;
    }
    return nullptr;
}

}  // namespace lsh
