// The SimHash kernels: the seedless, counter-based generator of the
// hyperplane signs, and the per-instruction-set kernels that sum a vector
// against them.
//
// The sign of hyperplane component i for bit w of family u is regenerated on
// demand from (u, w, i) alone, so signatures depend only on the vector and the
// three sizes: the same in every process and on every machine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"
#include "lsh/simd/target.hpp"

namespace lsh {

// The generator: SplitMix64's output function applied to the seed
// (u << 48) ^ (w << 24) ^ i of family u, bit w and component i, all modulo
// 2^64; the sign is +1 when the lowest bit of the output is 1. Every kernel
// builds on these definitions.
inline constexpr unsigned kFamilyShift = 48;
inline constexpr unsigned kBitShift = 24;  // the component field: the seed's low 24 bits
inline constexpr std::uint64_t kSplitMixGolden = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kSplitMixMix1 = 0xBF58476D1CE4E5B9ull;
inline constexpr std::uint64_t kSplitMixMix2 = 0x94D049BB133111EBull;

// Always inlined: the vector kernels use these inside code compiled for
// their own targets, which must not leave an out-of-line copy behind.
[[gnu::always_inline]] constexpr std::uint64_t projection_seed(std::uint64_t u, std::uint64_t w,
                                                               std::uint64_t i) noexcept {
    return (u << kFamilyShift) ^ (w << kBitShift) ^ i;
}

[[gnu::always_inline]] constexpr std::uint64_t splitmix64_output(std::uint64_t seed) noexcept {
    std::uint64_t z = seed + kSplitMixGolden;
    z = (z ^ (z >> 30)) * kSplitMixMix1;
    z = (z ^ (z >> 27)) * kSplitMixMix2;
    return z ^ (z >> 31);
}

constexpr bool projection_sign_positive(std::uint64_t u, std::uint64_t w, std::uint64_t i) noexcept {
    return (splitmix64_output(projection_seed(u, w, i)) & 1u) != 0;
}

constexpr int projection_sign(std::uint64_t u, std::uint64_t w, std::uint64_t i) noexcept {
    return projection_sign_positive(u, w, i) ? 1 : -1;
}

// One way of computing the signature bits, for one instruction set; every
// kernel gives the portable loop's bits exactly. The vector kernels are
// written once in simhash/body.hpp and compiled per target (simd/avx2.cpp,
// simd/avx512.cpp, simd/neon.cpp; the pattern is in simd/target.hpp).
struct SimhashKernel {
    Isa isa;
    // Bits first .. first + count - 1 of `family` over the components
    // first_component .. first_component + n - 1 held in v[0 .. n-1]:
    // out[k] = 1 when the ordered sum of +-v[i], started at -0.0, is > 0.
    // The signature uses first = 0 and first_component = 0; the general form
    // lets tests reach far bit and component indices with short vectors.
    void (*window)(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first, std::size_t count,
                   std::uint64_t first_component, std::uint8_t* out);
};

// The kernel for an instruction set, or nullptr when this build has none for
// it or the CPU cannot run it. Benchmarks and tests run every kernel through
// this; the module uses `simhash_kernel()`.
const SimhashKernel* find_simhash_kernel(Isa isa) noexcept;

// The best kernel this CPU supports, chosen once per process.
const SimhashKernel& simhash_kernel() noexcept;

namespace detail {
// The portable loop: one sign evaluation and one ordered addition per step.
extern const SimhashKernel kSimhashScalar;
#if LSH_HAVE_X86_TARGETS
extern const SimhashKernel kSimhashAvx2;
extern const SimhashKernel kSimhashAvx512;
#endif
#if LSH_HAVE_NEON_TARGETS
extern const SimhashKernel kSimhashNeon;
#endif
}  // namespace detail

}  // namespace lsh
