#include "lsh/embedding_hash.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "lsh/fp_env.hpp"
#include "lsh/sha256.hpp"

namespace lsh {

namespace {

constexpr double kScale = 1000000.0;
constexpr double kJustBelowHalf = 0.49999999999999994;  // largest double < 0.5
constexpr float kTwoTo23 = 8388608.0f;

// The longest component text: a sign, 17 shortest digits padded with zeros up
// to the 39 integer digits of the largest float, and ".0".
constexpr std::size_t kMaxComponentText = 48;

double round_half_away(double product) { return std::trunc(product + std::copysign(kJustBelowHalf, product)); }

// Positional layout of the shortest round-trip digits of a finite, non-zero
// magnitude, followed by the ".0" rule.
char* write_positional(char* out, double magnitude) {
    char scientific[32];
    const auto converted =
        std::to_chars(scientific, scientific + sizeof scientific, magnitude, std::chars_format::scientific);
    // scientific is "d[.ddd]e[+-]xx": collect the digits and the exponent.
    char digits[20];
    int count = 0;
    const char* p = scientific;
    for (; p < converted.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    int exponent10 = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), converted.ptr, exponent10);
    // magnitude = 0.d1d2...dk * 10^point
    const int point = exponent10 + 1;
    bool has_point = false;
    if (point <= 0) {
        *out++ = '0';
        *out++ = '.';
        for (int z = 0; z < -point; ++z) *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        out += count;
        has_point = true;
    } else if (point < count) {
        std::memcpy(out, digits, static_cast<std::size_t>(point));
        out += point;
        *out++ = '.';
        std::memcpy(out, digits + point, static_cast<std::size_t>(count - point));
        out += count - point;
        has_point = true;
    } else {
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        out += count;
        for (int z = count; z < point; ++z) *out++ = '0';
    }
    if (!has_point && magnitude - std::trunc(magnitude) == 0.0) {
        *out++ = '.';
        *out++ = '0';
    }
    return out;
}

// The general rules for any quantised value.
char* write_canonical(char* out, double value) {
    if (std::isnan(value)) {
        std::memcpy(out, "NaN", 3);
        return out + 3;
    }
    if (std::signbit(value)) *out++ = '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    if (magnitude == 0.0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    return write_positional(out, magnitude);
}

// "00" .. "99".
constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int k = 0; k < 100; ++k) {
        pairs[static_cast<std::size_t>(2 * k)] = static_cast<char>('0' + k / 10);
        pairs[static_cast<std::size_t>(2 * k + 1)] = static_cast<char>('0' + k % 10);
    }
    return pairs;
}();

inline char* write_pair(char* out, std::uint32_t value) noexcept {
    std::memcpy(out, kDigitPairs.data() + 2 * value, 2);
    return out + 2;
}

// Fast path for |x| < 2^23: the text is the exact decimal of |r| / 10^6 where
// r = round(x * 10^6), with trailing fractional zeros removed and at least one
// fractional digit kept; such a value has at most 13 significant digits, so
// this is also its shortest round-trip form.
char* write_small_component(char* out, float x) {
    // Rounding the magnitude is the same as rounding the signed product:
    // trunc(p + copysign(c, p)) = -trunc(|p| + c) for p < 0, the addition being
    // symmetric under negation. |p| < 2^23 * 10^6, so the conversion to an
    // integer truncates exactly.
    const double magnitude = std::fabs(static_cast<double>(x) * kScale);  // exact
    const auto whole = static_cast<std::uint64_t>(magnitude + kJustBelowHalf);
    if (std::signbit(x)) *out++ = '-';
    const std::uint64_t integer_part = whole / 1000000;
    auto fraction = static_cast<std::uint32_t>(whole - integer_part * 1000000);
    if (integer_part < 10) {
        *out++ = static_cast<char>('0' + integer_part);
    } else {
        out = std::to_chars(out, out + 24, integer_part).ptr;
    }
    *out++ = '.';
    if (fraction == 0) {
        *out++ = '0';
        return out;
    }
    const std::uint32_t high = fraction / 10000;
    const std::uint32_t rest = fraction - high * 10000;
    write_pair(out, high);
    write_pair(out + 2, rest / 100);
    write_pair(out + 4, rest % 100);
    std::size_t length = 6;
    while (out[length - 1] == '0') --length;  // fraction != 0: stops at a non-zero digit
    return out + length;
}

char* write_component(char* out, float x) {
    if (std::fabs(x) < kTwoTo23) return write_small_component(out, x);
    return write_canonical(out, quantize_6dp(x));
}

}  // namespace

double quantize_6dp(float x) {
    FloatEnvScope fp_env;
    const double product = static_cast<double>(x) * kScale;
    if (!std::isfinite(product)) return product;
    return round_half_away(product) / kScale;
}

void append_canonical_float(std::string& out, double value) {
    FloatEnvScope fp_env;
    char buffer[kMaxComponentText + 340];  // doubles may be far beyond float range
    char* end = write_canonical(buffer, value);
    out.append(buffer, static_cast<std::size_t>(end - buffer));
}

std::string format_canonical_float(double value) {
    std::string text;
    append_canonical_float(text, value);
    return text;
}

namespace {

// Room for the text of any vector of this size.
std::size_t text_capacity(std::size_t n) { return 2 + n * (kMaxComponentText + 2); }

// Writes the canonical text into `out` (text_capacity bytes); returns its length.
std::size_t write_text(std::span<const float> vector, char* const begin) {
    FloatEnvScope fp_env;
    char* out = begin;
    *out++ = '[';
    for (std::size_t i = 0; i < vector.size(); ++i) {
        if (i != 0) {
            *out++ = ',';
            *out++ = ' ';
        }
        out = write_component(out, vector[i]);
    }
    *out++ = ']';
    return static_cast<std::size_t>(out - begin);
}

}  // namespace

std::string canonical_embedding_text(std::span<const float> vector) {
    // One buffer sized for the worst case; left uninitialised, as every byte
    // of the text is written before it is read.
    const std::unique_ptr<char[]> buffer(new char[text_capacity(vector.size())]);
    return std::string(buffer.get(), write_text(vector, buffer.get()));
}

std::string compute_embedding_sha256(std::span<const float> vector) {
    const std::unique_ptr<char[]> buffer(new char[text_capacity(vector.size())]);
    const std::size_t length = write_text(vector, buffer.get());
    const Sha256Digest digest = sha256(std::string_view(buffer.get(), length));
    std::string hex(64, '0');
    digest_to_hex(digest, hex.data());
    return hex;
}

}  // namespace lsh
