#include "lsh/compare.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

namespace {

TEST(Hamming, WorkedExamples) {
    struct Case {
        const char* a;
        const char* b;
        std::uint64_t distance;
    };
    const Case cases[] = {
        {"ff", "00", 8},
        {"0f", "0e", 1},
        {"8", "7", 4},
        {"f0f0", "0f0f", 16},
        {"deadbeef", "DEADBEEF", 0},
        {" a-b ", "AB", 0},
        {"ab", "abcd", 8},
        {"", "ffff", 16},
        {"", "", 0},
        {"0xff", "ff", 8},
        {"g1", "01", 5},
        {"\xc3\xa9"
         "5",
         "5", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lsh::hamming_distance_hex(c.a, c.b), c.distance) << c.a << " / " << c.b;
        EXPECT_EQ(lsh::hamming_distance_hex(c.b, c.a), c.distance) << "symmetry " << c.a << " / " << c.b;
    }
}

TEST(Hamming, LongTextsUseMoreThanTheStackBuffer) {
    const std::string a(5000, 'f');
    std::string b(5000, '0');
    b += "zz";  // dropped
    EXPECT_EQ(lsh::hamming_distance_hex(a, b), 20000u);
    EXPECT_EQ(lsh::hamming_distance_hex(a, a + "1"), 4u);
}

TEST(Cosine, WorkedExamples) {
    struct Case {
        std::uint64_t d, t;
        double expected;
    };
    const Case cases[] = {
        {0, 256, 1.0},
        {64, 256, 0.7071067811865476},
        {128, 256, 6.123233995736766e-17},
        {192, 256, -0.7071067811865475},
        {256, 256, -1.0},
        {384, 256, -1.8369701987210297e-16},
        {512, 256, 1.0},
        {1, 3, 0.5000000000000001},
        {7, 12, -0.25881904510252085},  // the division comes before the multiplication by pi
        {5, 0, 0.0},
        {0, 0, 0.0},
        {UINT64_MAX, UINT64_MAX, -1.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(lsh::cosine_from_hamming(c.d, c.t)),
                  std::bit_cast<std::uint64_t>(c.expected))
            << c.d << "/" << c.t;
    }
}

}  // namespace
