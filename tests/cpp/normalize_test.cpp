#include "lsh/normalize.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "lsh/fp_env.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

std::vector<float> normalized(std::vector<double> input) {
    std::vector<float> x;
    for (double d : input) x.push_back(static_cast<float>(d));
    return lsh::normalize_vector(x);
}

void expect_bits(const std::vector<float>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(static_cast<double>(actual[i])),
                  std::bit_cast<std::uint64_t>(expected[i]))
            << "element " << i << ": " << actual[i] << " vs " << expected[i];
    }
}

TEST(Normalize, WorkedExamples) {
    expect_bits(normalized({3, 4}), {0.6000000238418579, 0.800000011920929});
    expect_bits(normalized({1, 1, 1}), {0.5773502588272095, 0.5773502588272095, 0.5773502588272095});
    expect_bits(normalized({1, 2, 3}), {0.26726123690605164, 0.5345224738121033, 0.8017836809158325});
    // A division, not a multiplication by the reciprocal (which gives 0.986393928527832).
    expect_bits(normalized({1, 6}), {0.16439898312091827, 0.9863938689231873});
    // The sum is accumulated left to right in 32 bits: order matters.
    expect_bits(normalized({4096, 1, 1, 1, 1}), {1.0, 0.000244140625, 0.000244140625, 0.000244140625, 0.000244140625});
    expect_bits(normalized({1, 1, 1, 1, 4096}), {0.00024414059589616954, 0.00024414059589616954, 0.00024414059589616954,
                                                 0.00024414059589616954, 0.9999998807907104});
    expect_bits(normalized({-0.0, 0.0}), {-0.0, 0.0});
    expect_bits(normalized({1e-30, 2e-30}), {1.0000000031710769e-30, 2.0000000063421537e-30});
    EXPECT_TRUE(normalized({}).empty());
}

TEST(Normalize, ZeroMagnitudeThresholdAndSubnormalSquares) {
    const double tiny = std::ldexp(1.0, -75);
    expect_bits(normalized({tiny}), {tiny});
    const float above = std::nextafter(static_cast<float>(tiny), 1.0f);
    expect_bits(lsh::normalize_vector(std::vector<float>{above}), {0.70710688829422});
    expect_bits(normalized({1e-20, 0}), {1.0000026226043701, 0.0});
    expect_bits(normalized({1e-22}), {1.009684443473816});
}

TEST(Normalize, NonFiniteValuesFollowIeeeArithmetic) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto r = normalized({nan, 1});
    EXPECT_TRUE(std::isnan(r[0]) && std::isnan(r[1]));
    r = normalized({inf, 1});
    EXPECT_TRUE(std::isnan(r[0]));
    expect_bits({r[1]}, {0.0});
    expect_bits(normalized({1e20, 1e20}), {0.0, 0.0});
    expect_bits(normalized({-1e20, 1}), {-0.0, 0.0});
}

#if defined(__x86_64__)
// A library built with -ffast-math may switch on flush-to-zero and
// denormals-are-zero for the whole process; results must not change.
TEST(Normalize, IgnoresFlushToZeroState) {
    const std::vector<double> cases[] = {{1e-20, 0}, {1e-22}, {std::ldexp(1.0, -75)}, {1e-30, 2e-30}, {3, 4}};
    std::vector<std::vector<float>> expected;
    for (const auto& c : cases) expected.push_back(normalized(c));
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040);  // FTZ | DAZ
    std::vector<std::vector<float>> flushed;
    for (const auto& c : cases) flushed.push_back(normalized(c));
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(after & 0x8040u, 0x8040u) << "the caller's state must be restored";
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(expected[k].size(), flushed[k].size());
        for (std::size_t i = 0; i < expected[k].size(); ++i) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(expected[k][i]), std::bit_cast<std::uint32_t>(flushed[k][i]));
        }
    }
}
#endif

// Narrowing a double to a float, which argument conversion does between calls
// into the interpreter, must give the nearest float (ties to even) whatever
// rounding direction or flushing another library has left behind.
TEST(Narrowing, SameBitsInEveryControlState) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.1,
                                  -0.1,
                                  1.0 + std::ldexp(1.0, -24),      // a tie: to 1.0
                                  1.0 + 3 * std::ldexp(1.0, -24),  // a tie: to the even neighbour above
                                  1e39,
                                  -1e39,
                                  3.4028235677973366e38,  // just above the largest float, rounds to it
                                  3.4028235677973367e38,  // the halfway point: to infinity
                                  std::numeric_limits<double>::max(),
                                  std::ldexp(1.0, -126),
                                  std::ldexp(1.0, -126) - std::ldexp(1.0, -150),  // rounds up to the smallest normal
                                  std::ldexp(1.0, -149),
                                  std::ldexp(1.0, -150),  // a tie: to zero
                                  std::ldexp(1.5, -150),
                                  -std::ldexp(3.0, -150),
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity()};
    std::mt19937_64 rng(3);
    for (int k = 0; k < 200000; ++k) {
        // Bit patterns across the whole range, and dense around the float boundaries.
        const std::uint64_t exponent = k % 2 == 0 ? rng() % 2047 : 860 + rng() % 300;
        values.push_back(std::bit_cast<double>((rng() & 0x800FFFFFFFFFFFFFull) | (exponent << 52)));
    }
    std::vector<std::uint32_t> nearest;
    for (double value : values) nearest.push_back(std::bit_cast<std::uint32_t>(static_cast<float>(value)));
    for (const int mode : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
#if defined(__x86_64__)
        const unsigned saved = _mm_getcsr();
        _mm_setcsr(saved | 0x8040);  // FTZ | DAZ
#endif
        std::vector<std::uint32_t> narrowed;
        for (double value : values) narrowed.push_back(std::bit_cast<std::uint32_t>(lsh::narrow_to_float(value)));
#if defined(__x86_64__)
        _mm_setcsr(saved);
#endif
        std::fesetround(FE_TONEAREST);
        for (std::size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(narrowed[i], nearest[i])
                << "mode " << mode << ", value " << values[i] << " (" << std::bit_cast<std::uint64_t>(values[i]) << ")";
        }
    }
    const float nan = lsh::narrow_to_float(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(std::isnan(nan));
}

}  // namespace
