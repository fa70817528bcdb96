// Multi-family SimHash signatures from a seedless, counter-based generator.
//
// The sign of hyperplane component i for bit w of family u is regenerated on
// demand from (u, w, i) alone, so signatures depend only on the vector and the
// three sizes: the same in every process and on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lsh {

// SplitMix64's output function applied to (u << 48) ^ (w << 24) ^ i; the sign
// is +1 when the lowest bit of the output is 1.
constexpr bool projection_sign_positive(std::uint64_t u, std::uint64_t w, std::uint64_t i) noexcept {
    std::uint64_t z = ((u << 48) ^ (w << 24) ^ i) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z = z ^ (z >> 31);
    return (z & 1u) != 0;
}

constexpr int projection_sign(std::uint64_t u, std::uint64_t w, std::uint64_t i) noexcept {
    return projection_sign_positive(u, w, i) ? 1 : -1;
}

// Ways of computing the signature bits; all give identical bits.
enum class SimhashKernel { scalar, avx2, avx512 };

const char* kernel_name(SimhashKernel kernel) noexcept;

// Whether this CPU and operating system can run the kernel.
bool kernel_supported(SimhashKernel kernel) noexcept;

// The fastest supported kernel, chosen once per process. Benchmarks and tests
// that compare kernels call the overloads that take a kernel.
SimhashKernel active_kernel() noexcept;

// Signature bits of family u for bits w = 0 .. bits-1 over the widened vector
// v: out[w] = 1 when the ordered sum of +-v[i], started at -0.0, is > 0.
void signature_bits(SimhashKernel kernel, std::span<const double> v, std::uint64_t family, std::uint64_t bits,
                    std::uint8_t* out);

// Four bits per character, the first bit the most significant; a final partial
// group is padded with zero bits.
std::string bits_to_hex(std::span<const std::uint8_t> bits);

// Cuts a signature into at most `bands` runs of equal length max(1, L / bands).
std::vector<std::string> split_bands(std::string_view signature, std::uint64_t bands);

struct FamilySignature {
    std::uint64_t family;
    std::uint64_t bits;
    std::string signature;
    std::vector<std::string> bands;
};

inline constexpr std::uint64_t kDefaultFamilies = 3;
inline constexpr std::uint64_t kDefaultBits = 256;
inline constexpr std::uint64_t kDefaultBands = 16;

// Applies the floors (1 family, 64 bits, 1 band), checks the size limits
// (panics with "capacity overflow") and computes every family in order.
std::vector<FamilySignature> simhash_lsh_multi(std::span<const float> vector, std::uint64_t families,
                                               std::uint64_t bits, std::uint64_t bands);
std::vector<FamilySignature> simhash_lsh_multi(std::span<const float> vector, std::uint64_t families,
                                               std::uint64_t bits, std::uint64_t bands, SimhashKernel kernel);

namespace detail {
void signature_bits_scalar(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits, std::uint8_t* out);
#if defined(__x86_64__)
void signature_bits_avx2(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits, std::uint8_t* out);
void signature_bits_avx512(const double* v, std::size_t n, std::uint64_t family, std::uint64_t bits, std::uint8_t* out);
// General forms: bits first .. first + count - 1 of the family over components
// first_component .. first_component + n - 1 held in v[0 .. n-1].
void signature_bits_avx2_window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first,
                                std::size_t count, std::uint64_t first_component, std::uint8_t* out);
void signature_bits_avx512_window(const double* v, std::size_t n, std::uint64_t family, std::uint64_t first,
                                  std::size_t count, std::uint64_t first_component, std::uint8_t* out);
#endif
}  // namespace detail

}  // namespace lsh
