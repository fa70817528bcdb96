// Multi-family SimHash signatures from a seedless, counter-based generator
// (the generator and the kernels that sum against it: simhash/kernels.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lsh/simhash/kernels.hpp"

namespace lsh {

// Signature bits of family u for bits w = 0 .. bits-1 over the widened vector v.
void signature_bits(const SimhashKernel& kernel, std::span<const double> v, std::uint64_t family, std::uint64_t bits,
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
                                               std::uint64_t bits, std::uint64_t bands, const SimhashKernel& kernel);

}  // namespace lsh
