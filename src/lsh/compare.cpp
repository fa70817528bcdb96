#include "lsh/compare.hpp"

#include <array>
#include <cmath>
#include <cstring>
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

constexpr std::array<std::uint8_t, 16> kNibbleBits = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

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

// Any text: clean both, then compare.
std::uint64_t distance_of_cleaned(std::string_view a, std::string_view b) {
    NibbleBuffer clean_a(a.size());
    NibbleBuffer clean_b(b.size());
    const std::size_t la = clean(a, clean_a.data());
    const std::size_t lb = clean(b, clean_b.data());
    const std::size_t common = la < lb ? la : lb;
    const std::uint8_t* pa = clean_a.data();
    const std::uint8_t* pb = clean_b.data();
    std::uint64_t distance = 0;
    for (std::size_t i = 0; i < common; ++i) distance += kNibbleBits[pa[i] ^ pb[i]];
    const std::size_t extra = la > lb ? la - lb : lb - la;
    return distance + 4 * static_cast<std::uint64_t>(extra);
}

// Eight characters at a time, for texts made of hex digits only (the usual
// case: signatures as this module writes them). Cleaning removes nothing
// from such texts, so the nibbles pair up by position.
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Bytes >= c get their high bit set; for bytes below 0x80 nothing carries
// from one byte into the next.
constexpr std::uint64_t bytes_at_least(std::uint64_t x, unsigned c) noexcept {
    return (x + kOnes * (0x80u - c)) & kHighBits;
}

// The nibble values of eight ASCII hex digits, one per byte; false when one
// of the bytes is not a hex digit.
inline bool nibbles_of_eight(const char* text, std::uint64_t& nibbles) noexcept {
    std::uint64_t x;
    std::memcpy(&x, text, sizeof x);
    if ((x & kHighBits) != 0) return false;
    const std::uint64_t digit = bytes_at_least(x, '0') & ~bytes_at_least(x, '9' + 1);
    const std::uint64_t folded = x | (kOnes * 0x20u);  // 'A'..'F' onto 'a'..'f'
    const std::uint64_t letter = bytes_at_least(folded, 'a') & ~bytes_at_least(folded, 'f' + 1);
    if ((digit | letter) != kHighBits) return false;
    nibbles = (x & (kOnes * 0x0Fu)) + (letter >> 7) * 9;
    return true;
}

// Sum over the bytes of the set bits, for bytes below 16.
inline std::uint64_t bits_in_nibbles(std::uint64_t x) noexcept {
    x -= (x >> 1) & (kOnes * 0x55u);
    x = (x & (kOnes * 0x33u)) + ((x >> 2) & (kOnes * 0x33u));
    return (x * kOnes) >> 56;
}

// The distance when both texts are hex digits only; false otherwise.
bool distance_of_hex_only(std::string_view a, std::string_view b, std::uint64_t& distance) noexcept {
    const std::string_view& shorter = a.size() <= b.size() ? a : b;
    const std::string_view& longer = a.size() <= b.size() ? b : a;
    const std::size_t common = shorter.size();
    std::uint64_t total = 0;
    std::size_t i = 0;
    for (; i + 8 <= common; i += 8) {
        std::uint64_t na, nb;
        if (!nibbles_of_eight(a.data() + i, na) || !nibbles_of_eight(b.data() + i, nb)) return false;
        total += bits_in_nibbles(na ^ nb);
    }
    for (; i < common; ++i) {
        const std::uint8_t va = kHexValue[static_cast<unsigned char>(a[i])];
        const std::uint8_t vb = kHexValue[static_cast<unsigned char>(b[i])];
        if (va == kNotHex || vb == kNotHex) return false;
        total += kNibbleBits[va ^ vb];
    }
    for (; i < longer.size(); ++i) {
        if (kHexValue[static_cast<unsigned char>(longer[i])] == kNotHex) return false;
        total += 4;
    }
    distance = total;
    return true;
}

}  // namespace

std::uint64_t hamming_distance_hex(std::string_view a, std::string_view b) {
    if (std::uint64_t distance; distance_of_hex_only(a, b, distance)) return distance;
    return distance_of_cleaned(a, b);
}

double cosine_from_hamming(std::uint64_t distance_bits, std::uint64_t total_bits) {
    if (total_bits == 0) return 0.0;
    FloatEnvScope fp_env;
    pin_value(distance_bits);
    pin_value(total_bits);
    const double quotient = static_cast<double>(distance_bits) / static_cast<double>(total_bits);
    const double angle = quotient * std::numbers::pi;
    double cosine = std::cos(angle);
    pin_value(cosine);
    return cosine;
}

}  // namespace lsh
