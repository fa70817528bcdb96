#include "lsh/embedding_hash.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

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

double round_half_away(double product) {
    return std::trunc(product + std::copysign(kJustBelowHalf, product));
}

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

// Fast path for |x| < 2^23: the text is the exact decimal of |r| / 10^6 where
// r = round(x * 10^6), with trailing fractional zeros removed and at least one
// fractional digit kept; such a value has at most 13 significant digits, so
// this is also its shortest round-trip form.
char* write_small_component(char* out, float x) {
    const double product = static_cast<double>(x) * kScale;  // exact
    const double rounded = round_half_away(product);
    if (std::signbit(x)) *out++ = '-';
    const auto whole = static_cast<std::uint64_t>(std::fabs(rounded));
    std::uint64_t integer_part = whole / 1000000;
    auto fraction = static_cast<std::uint32_t>(whole % 1000000);
    auto converted = std::to_chars(out, out + 24, integer_part);
    out = converted.ptr;
    *out++ = '.';
    if (fraction == 0) {
        *out++ = '0';
        return out;
    }
    char six[6];
    for (int d = 5; d >= 0; --d) {
        six[d] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    int length = 6;
    while (six[length - 1] == '0') --length;
    std::memcpy(out, six, static_cast<std::size_t>(length));
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

std::string canonical_embedding_text(std::span<const float> vector) {
    FloatEnvScope fp_env;
    // One buffer sized for the worst case, trimmed at the end.
    std::string text;
    text.resize(2 + vector.size() * (kMaxComponentText + 2));
    char* out = text.data();
    *out++ = '[';
    for (std::size_t i = 0; i < vector.size(); ++i) {
        if (i != 0) {
            *out++ = ',';
            *out++ = ' ';
        }
        out = write_component(out, vector[i]);
    }
    *out++ = ']';
    text.resize(static_cast<std::size_t>(out - text.data()));
    return text;
}

std::string compute_embedding_sha256(std::span<const float> vector) {
    const std::string text = canonical_embedding_text(vector);
    const Sha256Digest digest = sha256(text);
    std::string hex(64, '0');
    digest_to_hex(digest, hex.data());
    return hex;
}

}  // namespace lsh
