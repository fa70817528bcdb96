#include "lsh/embedding_hash.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lsh/sha256.hpp"

namespace {

std::string text_of(std::vector<double> values) {
    std::vector<float> x;
    for (double d : values) x.push_back(static_cast<float>(d));
    return lsh::canonical_embedding_text(x);
}

TEST(CanonicalText, WorkedExamples) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(text_of({}), "[]");
    EXPECT_EQ(text_of({0.6, 0.8}), "[0.6, 0.8]");
    EXPECT_EQ(text_of({1.0, 0.0}), "[1.0, 0.0]");
    EXPECT_EQ(text_of({-0.0}), "[-0.0]");
    EXPECT_EQ(text_of({-1e-07}), "[-0.0]");
    EXPECT_EQ(text_of({3e-07, -3e-07}), "[0.0, -0.0]");
    EXPECT_EQ(text_of({1e-06}), "[0.000001]");
    EXPECT_EQ(text_of({0.0078125, -0.0078125}), "[0.007813, -0.007813]");
    EXPECT_EQ(text_of({0.1234565}), "[0.123457]");
    EXPECT_EQ(text_of({123.456789}), "[123.456787]");
    EXPECT_EQ(text_of({0.25, -0.75}), "[0.25, -0.75]");
    EXPECT_EQ(text_of({8388607.5}), "[8388607.5]");
    EXPECT_EQ(text_of({1e20}), "[100000002004087730000.0]");
    EXPECT_EQ(text_of({nan, inf, -inf}), "[NaN, inf, -inf]");
}

TEST(CanonicalText, GeneralRulesForDoubles) {
    EXPECT_EQ(lsh::format_canonical_float(std::ldexp(1.0, 60)), "1152921504606847000.0");
    EXPECT_EQ(lsh::format_canonical_float(0.000005), "0.000005");
    EXPECT_EQ(lsh::format_canonical_float(-12345678.0), "-12345678.0");
    EXPECT_EQ(lsh::format_canonical_float(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    // 5 / 10^6, not 5 * 0.000001.
    EXPECT_EQ(lsh::quantize_6dp(0.000005f), 0.000005);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(lsh::quantize_6dp(-1e-7f)), std::bit_cast<std::uint64_t>(-0.0));
}

// The text of each component comes from an integer fast path below 2^23 and
// from the general shortest-digits layout above it; both must agree with the
// general rules applied to the quantised value, for every kind of float.
TEST(CanonicalText, FastPathMatchesGeneralRules) {
    std::mt19937_64 random(20261208);
    auto check = [](float x) {
        std::string expected = "[";
        expected += lsh::format_canonical_float(lsh::quantize_6dp(x));
        expected += ']';
        ASSERT_EQ(lsh::canonical_embedding_text(std::vector<float>{x}), expected)
            << "bits 0x" << std::hex << std::bit_cast<std::uint32_t>(x);
    };
    for (int k = 0; k < 400000; ++k) check(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
    // Quantisation half-way points and their neighbours.
    for (int k = 0; k < 200000; ++k) {
        const double half = (static_cast<double>(random() % 20000000) - 10000000.0 + 0.5) / 1e6;
        const float f = static_cast<float>(half);
        check(f);
        check(std::nextafter(f, 1e30f));
        check(std::nextafter(f, -1e30f));
    }
    for (float edge : {8388607.5f, 8388608.0f, -8388608.0f, std::numeric_limits<float>::max(),
                       std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::min()}) {
        check(edge);
    }
}

TEST(Sha256, KnownDigests) {
    char hex[65] = {};
    lsh::digest_to_hex(lsh::sha256("abc"), hex);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    lsh::digest_to_hex(lsh::sha256(""), hex);
    EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // The digest of an empty embedding is that of the two-byte text "[]".
    lsh::digest_to_hex(lsh::sha256("[]"), hex);
    EXPECT_EQ(lsh::compute_embedding_sha256(std::vector<float>{}), std::string(hex));
}

}  // namespace
