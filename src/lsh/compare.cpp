#include "lsh/compare.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

#include "lsh/fp_env.hpp"

namespace lsh {

namespace {

constexpr std::uint8_t kNotHex = 0xFF;

constexpr std::array<std::uint8_t, 256> make_hex_table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kNotHex;
    for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
    return table;
}

constexpr std::array<std::uint8_t, 256> kHexValue = make_hex_table();

// Keeps the nibble values of the hex digits. UTF-8 continuation and lead
// bytes are all >= 0x80, so non-ASCII characters drop out byte by byte.
std::size_t clean(std::string_view text, std::uint8_t* out) noexcept {
    std::size_t length = 0;
    for (const char c : text) {
        const std::uint8_t value = kHexValue[static_cast<unsigned char>(c)];
        out[length] = value;
        length += value != kNotHex ? 1 : 0;
    }
    return length;
}

// Cleaned buffers live on the stack for signature-sized texts.
class NibbleBuffer {
public:
    explicit NibbleBuffer(std::size_t size) {
        if (size > local_.size()) {
            heap_.resize(size);
            data_ = heap_.data();
        }
    }
    std::uint8_t* data() noexcept { return data_; }

private:
    std::array<std::uint8_t, 512> local_;
    std::vector<std::uint8_t> heap_;
    std::uint8_t* data_ = local_.data();
};

}  // namespace

std::uint64_t hamming_distance_hex(std::string_view a, std::string_view b) {
    NibbleBuffer clean_a(a.size());
    NibbleBuffer clean_b(b.size());
    const std::size_t la = clean(a, clean_a.data());
    const std::size_t lb = clean(b, clean_b.data());
    const std::size_t common = la < lb ? la : lb;
    const std::uint8_t* pa = clean_a.data();
    const std::uint8_t* pb = clean_b.data();
    std::uint64_t distance = 0;
    for (std::size_t i = 0; i < common; ++i) {
        distance += static_cast<std::uint64_t>(std::popcount(static_cast<unsigned>(pa[i] ^ pb[i])));
    }
    const std::size_t extra = la > lb ? la - lb : lb - la;
    return distance + 4 * static_cast<std::uint64_t>(extra);
}

double cosine_from_hamming(std::uint64_t distance_bits, std::uint64_t total_bits) {
    if (total_bits == 0) return 0.0;
    FloatEnvScope fp_env;
    const double quotient = static_cast<double>(distance_bits) / static_cast<double>(total_bits);
    const double angle = quotient * std::numbers::pi;
    return std::cos(angle);
}

}  // namespace lsh
