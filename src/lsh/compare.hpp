// Comparing hexadecimal signatures.
#pragma once

#include <cstdint>
#include <string_view>

namespace lsh {

// Number of differing bits between two signature texts. Only ASCII hex digits
// count (either case); every other byte is dropped. The cleaned texts are
// aligned at their first digit and each digit the longer one has beyond the
// shorter counts as four differing bits.
std::uint64_t hamming_distance_hex(std::string_view a, std::string_view b);

// cos(pi * (distance / total)), with the division first; 0.0 when total is 0.
double cosine_from_hamming(std::uint64_t distance_bits, std::uint64_t total_bits);

}  // namespace lsh
