// Signature generator, hex rendering, band split, and the equivalence of every
// vector kernel with the portable loop, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lsh/simhash.hpp"

namespace {

using lsh::Isa;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// SplitMix64's first output for a state, written out step by step.
std::uint64_t splitmix_first_output(std::uint64_t state) {
    std::uint64_t z = state + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The ordered sum of +-v[k], sign from component first_component + k, for bits
// first .. first + count - 1: the definition, independent of any kernel.
std::vector<std::uint8_t> reference_bits(std::span<const double> v, std::uint64_t family, std::uint64_t first,
                                         std::size_t count, std::uint64_t first_component = 0) {
    std::vector<std::uint8_t> bits(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t w = first + k;
        if (v.empty()) continue;
        double sum = -0.0;
        for (std::size_t j = 0; j < v.size(); ++j) {
            const bool positive = lsh::projection_sign_positive(family, w, first_component + j);
            sum = positive ? sum + v[j] : sum + (-v[j]);
        }
        bits[k] = sum > 0.0 ? 1 : 0;
    }
    return bits;
}

// Every instruction set of this CPU that has a signature kernel, the portable
// loop first.
std::vector<Isa> supported_kernels() {
    std::vector<Isa> kernels{Isa::scalar};
    for (const lsh::IsaTarget& target : lsh::kIsaTargets) {
        if (target.isa != Isa::scalar && lsh::find_simhash_kernel(target.isa) != nullptr) kernels.push_back(target.isa);
    }
    return kernels;
}

std::vector<Isa> vector_kernels() {
    std::vector<Isa> kernels = supported_kernels();
    std::erase(kernels, Isa::scalar);
    return kernels;
}

const lsh::SimhashKernel& kernel_of(Isa isa) {
    const lsh::SimhashKernel* kernel = lsh::find_simhash_kernel(isa);
    if (kernel == nullptr) throw std::runtime_error(std::string("no kernel for ") + lsh::isa_name(isa));
    return *kernel;
}

std::vector<lsh::FamilySignature> signatures(Isa isa, const std::vector<float>& v, std::uint64_t families,
                                             std::uint64_t bits, std::uint64_t bands) {
    return lsh::simhash_lsh_multi(v, families, bits, bands, kernel_of(isa));
}

std::vector<std::uint8_t> kernel_bits(Isa isa, std::span<const double> v, std::uint64_t family, std::uint64_t bits) {
    // Poisoned so that an unwritten entry cannot pass for a 0 or 1.
    std::vector<std::uint8_t> out(static_cast<std::size_t>(bits), 0xAA);
    lsh::signature_bits(kernel_of(isa), v, family, bits, out.data());
    return out;
}

std::vector<std::uint8_t> scalar_bits(std::span<const double> v, std::uint64_t family, std::uint64_t bits) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(bits), 0xAA);
    lsh::detail::kSimhashScalar.window(v.data(), v.size(), family, 0, static_cast<std::size_t>(bits), 0, out.data());
    return out;
}

// Every bit of a vector kernel against the portable loop; reports the first
// difference with its coordinates.
void expect_same_bits(Isa kernel, std::span<const double> v, std::uint64_t family, std::uint64_t bits,
                      const std::string& what) {
    const std::vector<std::uint8_t> expected = scalar_bits(v, family, bits);
    const std::vector<std::uint8_t> actual = kernel_bits(kernel, v, family, bits);
    for (std::size_t w = 0; w < expected.size(); ++w) {
        ASSERT_EQ(actual[w], expected[w]) << lsh::isa_name(kernel) << ", " << what << ": n=" << v.size()
                                          << " family=" << family << " bits=" << bits << " first difference at w=" << w;
    }
}

double random_wide(std::mt19937_64& rng) {
    // Magnitudes over 2^-60 .. 2^60: sums that depend on the order of addition.
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    std::uniform_int_distribution<int> exponent(-60, 60);
    const double m = std::ldexp(mantissa(rng), exponent(rng));
    return (rng() & 1) != 0 ? m : -m;
}

std::vector<double> widened(const std::vector<float>& values) {
    return std::vector<double>(values.begin(), values.end());
}

// ------------------------------------------------------------ generator ----

struct GeneratorRow {
    std::uint64_t u, w, i, seed, z;
    int sign;
};

TEST(SimhashGenerator, WorkedTableValues) {
    const GeneratorRow rows[] = {
        {0, 0, 0, 0x0, 0xE220A8397B1DCDAFull, +1},
        {0, 0, 1, 0x1, 0x910A2DEC89025CC1ull, +1},
        {0, 0, 2, 0x2, 0x975835DE1C9756CEull, -1},
        {0, 0, 3, 0x3, 0x1D0B14E4DB018FEDull, +1},
        {0, 1, 0, 0x1000000, 0x6DC4E0AB7011D21Cull, -1},
        {0, 1, 1, 0x1000001, 0xD9119D74A403EC0Aull, -1},
        {0, 1, 2, 0x1000002, 0xA105813F665F8AE2ull, -1},
        {0, 1, 3, 0x1000003, 0x6089EA752C63C42Full, +1},
        {1, 0, 0, 0x1000000000000, 0xA285E7B0DEB63750ull, -1},
    };
    for (const GeneratorRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "u=" << row.u << " w=" << row.w << " i=" << row.i);
        EXPECT_EQ((row.u << 48) ^ (row.w << 24) ^ row.i, row.seed);
        EXPECT_EQ(lsh::projection_seed(row.u, row.w, row.i), row.seed);
        EXPECT_EQ(splitmix_first_output(row.seed), row.z);
        EXPECT_EQ(lsh::splitmix64_output(row.seed), row.z);
        EXPECT_EQ(static_cast<int>(row.z & 1), row.sign > 0 ? 1 : 0);
        EXPECT_EQ(lsh::projection_sign(row.u, row.w, row.i), row.sign);
        EXPECT_EQ(lsh::projection_sign_positive(row.u, row.w, row.i), row.sign > 0);
    }
}

TEST(SimhashGenerator, FieldsOverlapAndWrap) {
    std::mt19937_64 rng(7);
    for (int t = 0; t < 2000; ++t) {
        const std::uint64_t u = rng(), w = rng(), i = rng();
        const bool expected = (splitmix_first_output((u << 48) ^ (w << 24) ^ i) & 1) != 0;
        ASSERT_EQ(lsh::projection_sign_positive(u, w, i), expected) << u << " " << w << " " << i;
        // Only the low 16 bits of u survive the shift.
        ASSERT_EQ(lsh::projection_sign_positive(u, w, i), lsh::projection_sign_positive(u & 0xFFFF, w, i));
        // The fields are combined by exclusive or, so they overlap: bit w at
        // component i is bit 0 at component (w << 24) ^ i.
        ASSERT_EQ(lsh::projection_sign_positive(u, w, i), lsh::projection_sign_positive(u, 0, (w << 24) ^ i));
    }
}

// The last two SplitMix64 steps reduce to one 32x32 product: bit 0 of
// z ^ (z >> 31) is bit 0 ^ bit 31 of low32(y) * 0x133111EB, which is bit 31
// of low32(y) * 0x933111EB. The vector kernels rely on this.
TEST(SimhashGenerator, SignFromLow32BitProduct) {
    std::mt19937_64 rng(11);
    for (int t = 0; t < 200000; ++t) {
        const std::uint64_t seed = t < 1000 ? static_cast<std::uint64_t>(t) : rng();
        std::uint64_t z = seed + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        const std::uint32_t y = static_cast<std::uint32_t>(z ^ (z >> 27));
        const std::uint32_t product = y * 0x133111EBu;
        const bool two_bits = ((product ^ (product >> 31)) & 1u) != 0;
        const bool one_bit = ((y * 0x933111EBu) >> 31) != 0;
        const bool full = (splitmix_first_output(seed) & 1) != 0;
        ASSERT_EQ(two_bits, full) << seed;
        ASSERT_EQ(one_bit, full) << seed;
    }
}

// -------------------------------------------------- worked signatures ----

TEST(SimhashSignatures, WorkedExampleEveryKernel) {
    const std::vector<float> v = {0.5f, -0.25f, 1.0f, 0.125f};
    for (Isa kernel : supported_kernels()) {
        SCOPED_TRACE(lsh::isa_name(kernel));
        {
            const std::vector<double> wide = widened(v);
            const std::vector<std::uint8_t> bits = kernel_bits(kernel, wide, 0, 4);
            EXPECT_EQ(bits, (std::vector<std::uint8_t>{0, 0, 1, 1}));
        }
        {
            const auto result = signatures(kernel, v, 2, 64, 4);
            ASSERT_EQ(result.size(), 2u);
            EXPECT_EQ(result[0].family, 0u);
            EXPECT_EQ(result[0].bits, 64u);
            EXPECT_EQ(result[0].signature, "35a2e263a8b16baa");
            EXPECT_EQ(result[0].bands, (std::vector<std::string>{"35a2", "e263", "a8b1", "6baa"}));
            EXPECT_EQ(result[1].family, 1u);
            EXPECT_EQ(result[1].bits, 64u);
            EXPECT_EQ(result[1].signature, "0bfd78d1784c9733");
            EXPECT_EQ(result[1].bands, (std::vector<std::string>{"0bfd", "78d1", "784c", "9733"}));
        }
        {
            const auto result = signatures(kernel, v, 1, 66, 16);
            ASSERT_EQ(result.size(), 1u);
            EXPECT_EQ(result[0].bits, 66u);
            EXPECT_EQ(result[0].signature, "35a2e263a8b16baa8");
            EXPECT_EQ(result[0].bands, (std::vector<std::string>{"3", "5", "a", "2", "e", "2", "6", "3", "a", "8", "b",
                                                                 "1", "6", "b", "a", "a"}));
        }
        {
            const auto result = signatures(kernel, v, 1, 10, 0);
            ASSERT_EQ(result.size(), 1u);
            EXPECT_EQ(result[0].bits, 64u);
            EXPECT_EQ(result[0].signature, "35a2e263a8b16baa");
            EXPECT_EQ(result[0].bands, (std::vector<std::string>{"35a2e263a8b16baa"}));
        }
    }
}

TEST(SimhashSignatures, FamilyPropertiesEveryKernel) {
    std::mt19937_64 rng(3);
    std::normal_distribution<float> normal;
    std::vector<float> v(300);
    for (float& x : v) x = normal(rng);
    for (Isa kernel : supported_kernels()) {
        SCOPED_TRACE(lsh::isa_name(kernel));
        const auto three = signatures(kernel, v, 3, 256, 16);
        const auto one = signatures(kernel, v, 1, 256, 16);
        EXPECT_EQ(three[0].signature, one[0].signature);  // independent of the family count
        const auto longer = signatures(kernel, v, 2, 300, 16);
        EXPECT_EQ(longer[1].signature.substr(0, 64), three[1].signature);  // prefix for a multiple of 4
        // u and u + 65536 share their signs.
        std::vector<double> wide = widened(v);
        EXPECT_EQ(kernel_bits(kernel, wide, 5, 100), kernel_bits(kernel, wide, 5 + 65536, 100));
        // Equal to the portable loop.
        EXPECT_EQ(three[2].signature, signatures(Isa::scalar, v, 3, 256, 16)[2].signature);
    }
}

TEST(SimhashSignatures, HexRendering) {
    using Bits = std::vector<std::uint8_t>;
    EXPECT_EQ(lsh::bits_to_hex(Bits{0, 0, 1, 1}), "3");
    EXPECT_EQ(lsh::bits_to_hex(Bits{1, 0, 1, 0, 1, 1, 1, 1}), "af");
    EXPECT_EQ(lsh::bits_to_hex(Bits{1}), "8");
    EXPECT_EQ(lsh::bits_to_hex(Bits{1, 1}), "c");
    EXPECT_EQ(lsh::bits_to_hex(Bits{1, 1, 1}), "e");
    EXPECT_EQ(lsh::bits_to_hex(Bits{0, 0, 0, 1, 0, 1}), "14");
    EXPECT_EQ(lsh::bits_to_hex(Bits{}), "");
    // Every nibble value, against its own arithmetic.
    for (unsigned value = 0; value < 16; ++value) {
        const Bits b = {static_cast<std::uint8_t>(value >> 3 & 1), static_cast<std::uint8_t>(value >> 2 & 1),
                        static_cast<std::uint8_t>(value >> 1 & 1), static_cast<std::uint8_t>(value & 1)};
        EXPECT_EQ(lsh::bits_to_hex(b), std::string(1, "0123456789abcdef"[value]));
    }
}

// ------------------------------------------------------------ band split ----

struct BandRow {
    std::uint64_t bits, length, requested, chunk, count, unbanded;
};

TEST(SimhashBands, TableRows) {
    const BandRow rows[] = {
        {256, 64, 16, 4, 16, 0}, {64, 16, 16, 1, 16, 0}, {100, 25, 7, 3, 7, 4},  {256, 64, 1000, 1, 64, 0},
        {256, 64, 3, 21, 3, 1},  {130, 33, 4, 8, 4, 1},  {65, 17, 16, 1, 16, 1}, {64, 16, 0, 16, 1, 0},
    };
    for (const BandRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "B=" << row.bits << " K=" << row.requested);
        const std::vector<std::uint8_t> bits(row.bits, 1);
        const std::string hex = lsh::bits_to_hex(bits);
        ASSERT_EQ(hex.size(), row.length);
        // Distinct characters per position, so that a shifted cut shows.
        std::string signature(row.length, '0');
        for (std::size_t j = 0; j < signature.size(); ++j) signature[j] = "0123456789abcdef"[(j * 7 + j / 16) % 16];
        const std::vector<std::string> bands = lsh::split_bands(signature, row.requested);
        ASSERT_EQ(bands.size(), row.count);
        std::string joined;
        for (std::size_t k = 0; k < bands.size(); ++k) {
            EXPECT_EQ(bands[k].size(), row.chunk) << "band " << k;
            EXPECT_EQ(bands[k], signature.substr(k * row.chunk, row.chunk)) << "band " << k;
            joined += bands[k];
        }
        EXPECT_EQ(signature.size() - joined.size(), row.unbanded);
        EXPECT_EQ(signature.substr(0, joined.size()), joined);
    }
}

TEST(SimhashBands, RuleForEveryLengthAndCount) {
    for (std::uint64_t length = 1; length <= 70; ++length) {
        std::string signature(length, 'x');
        for (std::size_t j = 0; j < length; ++j) signature[j] = static_cast<char>('a' + j % 26);
        const std::uint64_t requests[] = {0, 1, 2, 3, 5, 16, 17, 69, 70, 71, 1000, kMax64};
        for (std::uint64_t requested : requests) {
            const std::vector<std::string> bands = lsh::split_bands(signature, requested);
            const std::uint64_t k = requested == 0 ? 1 : requested;
            const std::uint64_t expected_count = k <= length ? k : length;
            const std::uint64_t chunk = k <= length ? length / k : 1;
            ASSERT_EQ(bands.size(), expected_count) << length << " " << requested;
            for (std::size_t b = 0; b < bands.size(); ++b) {
                ASSERT_EQ(bands[b], signature.substr(b * chunk, chunk)) << length << " " << requested << " " << b;
            }
        }
    }
}

// ------------------------------------------- kernel equivalence ----

TEST(SimhashKernels, SelectionIsSupported) {
    EXPECT_TRUE(lsh::isa_supported(Isa::scalar));
    EXPECT_TRUE(lsh::isa_supported(lsh::best_isa()));
    EXPECT_EQ(lsh::find_simhash_kernel(Isa::scalar), &lsh::detail::kSimhashScalar);
#if !defined(__x86_64__)
    EXPECT_FALSE(lsh::isa_supported(Isa::avx2));
    EXPECT_FALSE(lsh::isa_supported(Isa::avx512));
#endif
#if defined(__aarch64__)
    EXPECT_TRUE(lsh::isa_supported(Isa::neon));  // Advanced SIMD is part of AArch64 Linux
#else
    EXPECT_FALSE(lsh::isa_supported(Isa::neon));
#endif
    // A CPU with AVX-512 F/DQ/VL has AVX2.
    if (lsh::isa_supported(Isa::avx512)) {
        EXPECT_TRUE(lsh::isa_supported(Isa::avx2));
    }
    // The first supported target of the priority list, and its kernel.
    for (const lsh::IsaTarget& target : lsh::kIsaTargets) {
        if (lsh::isa_supported(target.isa)) {
            EXPECT_EQ(lsh::best_isa(), target.isa);
            break;
        }
    }
    EXPECT_EQ(lsh::simhash_kernel().isa, lsh::best_isa());
    EXPECT_EQ(lsh::find_simhash_kernel(lsh::best_isa()), &lsh::simhash_kernel());
    for (Isa isa : {Isa::avx2, Isa::avx512, Isa::neon}) {
        EXPECT_EQ(lsh::find_simhash_kernel(isa) != nullptr, lsh::isa_supported(isa)) << lsh::isa_name(isa);
    }
    std::cout << "[ INFO     ] kernels on this CPU:";
    for (Isa k : supported_kernels()) std::cout << ' ' << lsh::isa_name(k);
    std::cout << "; active: " << lsh::isa_name(lsh::simhash_kernel().isa) << '\n';
}

TEST(SimhashKernels, ReferenceMatchesPortableLoop) {
    // The test's own definition agrees with the portable loop, so it can stand
    // in for it where the portable loop cannot reach (windows of bits and
    // components).
    std::mt19937_64 rng(5);
    for (std::size_t n : {0u, 1u, 2u, 37u, 300u}) {
        std::vector<double> v(n);
        for (double& x : v) x = random_wide(rng);
        const std::uint64_t families[] = {0, 1, 70000, kMax64};
        for (std::uint64_t family : families) {
            ASSERT_EQ(reference_bits(v, family, 0, 70), scalar_bits(v, family, 70)) << n << " " << family;
        }
    }
}

TEST(SimhashKernels, RandomVectorsEveryLength) {
    const std::vector<Isa> kernels = vector_kernels();
    if (kernels.empty()) GTEST_SKIP() << "no vector kernel on this CPU";
    std::mt19937_64 rng(2024);
    std::vector<std::size_t> lengths = {0,   1,   2,    3,    4,    5,    7,    8,    9,    15,   16,  17,  31,
                                        32,  33,  63,   64,   65,   127,  128,  129,  255,  256,  257, 511, 512,
                                        513, 999, 1000, 1023, 1024, 1025, 1535, 1536, 1537, 1999, 2000};
    for (int t = 0; t < 25; ++t) lengths.push_back(static_cast<std::size_t>(rng() % 2001));
    const std::uint64_t bit_counts[] = {1, 7, 63, 64, 65, 100, 256, 257, 33, 130};
    const std::uint64_t families[] = {0, 1, 2, 65535, 65536, 65537, 1ull << 40, (1ull << 63) + 5, kMax64};
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<int> small(-3, 3);
    std::size_t case_number = 0;
    for (std::size_t n : lengths) {
        for (int kind = 0; kind < 4; ++kind, ++case_number) {
            std::vector<double> v(n);
            for (double& x : v) {
                switch (kind) {
                    case 0: x = static_cast<double>(normal(rng)); break;  // a typical embedding
                    case 1: x = random_wide(rng); break;                  // order matters
                    case 2: x = small(rng); break;                        // frequent exact cancellation
                    default:
                        // Large terms that mostly cancel and small ones that
                        // they absorb or not, depending on the order.
                        x = (rng() % 4 == 0) ? 9007199254740992.0 : 0.5 + static_cast<double>(rng() % 2);
                        break;
                }
            }
            const std::uint64_t bits = bit_counts[case_number % std::size(bit_counts)];
            const std::uint64_t family = families[(case_number / 3) % std::size(families)];
            for (Isa kernel : kernels) {
                expect_same_bits(kernel, v, family, bits, "random kind " + std::to_string(kind));
                if (testing::Test::HasFatalFailure()) return;
            }
        }
    }
}

TEST(SimhashKernels, AdversarialVectors) {
    const std::vector<Isa> kernels = vector_kernels();
    if (kernels.empty()) GTEST_SKIP() << "no vector kernel on this CPU";
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double big = std::numeric_limits<double>::max();
    const double float_tiny = static_cast<double>(std::numeric_limits<float>::denorm_min());

    std::vector<std::pair<std::string, std::vector<double>>> cases;
    for (std::size_t n : {1u, 2u, 3u, 4u, 8u, 9u, 16u, 33u, 64u, 1536u, 2000u}) {
        cases.emplace_back("ones", std::vector<double>(n, 1.0));  // sums cancel to exactly +-0
        std::vector<double> alternating(n);
        for (std::size_t j = 0; j < n; ++j) alternating[j] = (j % 2 == 0) ? 0.5 : -0.5;
        cases.emplace_back("alternating", alternating);
        cases.emplace_back("zeros", std::vector<double>(n, 0.0));
        cases.emplace_back("negative zeros", std::vector<double>(n, -0.0));
        cases.emplace_back("double subnormals", std::vector<double>(n, tiny));
        cases.emplace_back("float subnormals", std::vector<double>(n, float_tiny));
        std::vector<double> with_nan(n, 0.25);
        with_nan[n / 2] = nan;
        cases.emplace_back("nan", with_nan);
        std::vector<double> with_inf(n, 1.0);
        with_inf[n - 1] = inf;
        cases.emplace_back("inf last", with_inf);
        std::vector<double> both_inf(n, -2.0);
        both_inf[0] = inf;
        both_inf[n - 1] = -inf;  // inf - inf: NaN wherever the signs agree
        cases.emplace_back("inf and -inf", both_inf);
        std::vector<double> huge(n, big);  // overflows to +-inf depending on the signs met so far
        cases.emplace_back("huge", huge);
        std::vector<double> mixed(n);
        for (std::size_t j = 0; j < n; ++j) mixed[j] = (j % 3 == 0) ? big : (j % 3 == 1 ? 1.0 : tiny);
        cases.emplace_back("huge, one and subnormal", mixed);
        std::vector<double> absorbing(n, 1.0);  // 2^53 absorbs a following 1.0 only in this order
        absorbing[0] = 9007199254740992.0;
        cases.emplace_back("absorption", absorbing);
        std::vector<double> powers(n);
        for (std::size_t j = 0; j < n; ++j) powers[j] = std::ldexp(1.0, static_cast<int>(j % 60) - 30);
        cases.emplace_back("powers of two", powers);
    }
    cases.emplace_back("single subnormal", std::vector<double>{tiny});
    cases.emplace_back("subnormal after cancellation", std::vector<double>{1.0, 1.0, tiny});
    cases.emplace_back("single nan", std::vector<double>{nan});
    cases.emplace_back("single -inf", std::vector<double>{-inf});

    const std::uint64_t bit_counts[] = {1, 7, 63, 65, 257};
    std::size_t case_number = 0;
    for (const auto& [name, v] : cases) {
        for (Isa kernel : kernels) {
            for (std::uint64_t family : {std::uint64_t{0}, std::uint64_t{65536 + 3}}) {
                expect_same_bits(kernel, v, family, bit_counts[case_number % std::size(bit_counts)], name);
                if (testing::Test::HasFatalFailure()) return;
            }
        }
        ++case_number;
    }
}

TEST(SimhashKernels, SubnormalAndCancellationBitsAreExact) {
    // Results that do not depend on the kernel agreeing with anything but the
    // definition: a lone subnormal keeps its sign (no flush to zero), and a
    // pair of equal values gives 1 exactly where both signs are +1.
    const double tiny = std::numeric_limits<double>::denorm_min();
    for (Isa kernel : supported_kernels()) {
        SCOPED_TRACE(lsh::isa_name(kernel));
        const std::vector<double> one = {tiny};
        const std::vector<double> pair = {1.0, 1.0};
        const auto lone = kernel_bits(kernel, one, 9, 40);
        const auto both = kernel_bits(kernel, pair, 9, 40);
        for (std::uint64_t w = 0; w < 40; ++w) {
            EXPECT_EQ(lone[w], lsh::projection_sign_positive(9, w, 0) ? 1 : 0) << w;
            EXPECT_EQ(both[w], lsh::projection_sign_positive(9, w, 0) && lsh::projection_sign_positive(9, w, 1) ? 1 : 0)
                << w;
        }
    }
}

TEST(SimhashKernels, WindowsOfBitsAndComponents) {
    // Far bit indices (w << 24 wraps), component indices across the blocks in
    // which the seed's component field carries into the bit field, and across
    // the points where the low 30 bits of a lane's state wrap (component
    // 0xB583EB of each block for lanes whose bits 24..29 of the seed are 0).
    // The portable loop's own window form included.
    const std::vector<Isa> kernels = supported_kernels();
    const std::uint64_t firsts[] = {0, 1, (1ull << 24) - 3, (1ull << 40) - 5, (1ull << 63) - 7, kMax64 - 9};
    const std::uint64_t components[] = {0,
                                        (1ull << 24) - 40,
                                        0xB583EBull - 40,
                                        (1ull << 24) + 0xB583EBull - 40,
                                        (1ull << 30) - 20,
                                        (1ull << 32) - 30,
                                        3 * (1ull << 24) - 1,
                                        (1ull << 40) + (1ull << 24) - 17,
                                        kMax64 - 200};
    std::mt19937_64 rng(99);
    for (Isa kernel : kernels) {
        const auto run = kernel_of(kernel).window;
        for (std::uint64_t first : firsts) {
            for (std::uint64_t component : components) {
                for (std::size_t count : {std::size_t{5}, std::size_t{70}}) {
                    const std::size_t n = 150;
                    std::vector<double> v(n);
                    for (double& x : v) x = random_wide(rng);
                    std::vector<std::uint8_t> out(count, 0xAA);
                    run(v.data(), n, 3, first, count, component, out.data());
                    ASSERT_EQ(out, reference_bits(v, 3, first, count, component))
                        << lsh::isa_name(kernel) << " first=" << first << " component=" << component;
                }
            }
        }
    }
}

TEST(SimhashKernels, EverySignThroughOneHotVectors) {
    // A vector with a single 1.0 at position j gives, per bit, exactly the sign
    // of component j: every sign a kernel evaluates is checked on its own.
    const std::vector<Isa> kernels = supported_kernels();
    struct Window {
        std::uint64_t family, first, component;
        std::size_t n, count;
    };
    const Window windows[] = {
        {0, 0, 0, 64, 65},
        {70000, 120, 0xB583EBull - 32, 64, 40},
        {1, 60, (1ull << 24) - 32, 64, 40},
        {kMax64, (1ull << 62) + 3, (1ull << 48) - 32, 64, 40},
    };
    for (Isa kernel : kernels) {
        const auto run = kernel_of(kernel).window;
        for (const Window& window : windows) {
            for (std::size_t j = 0; j < window.n; ++j) {
                std::vector<double> v(window.n, 0.0);
                v[j] = 1.0;
                std::vector<std::uint8_t> out(window.count, 0xAA);
                run(v.data(), window.n, window.family, window.first, window.count, window.component, out.data());
                for (std::size_t k = 0; k < window.count; ++k) {
                    const bool positive =
                        lsh::projection_sign_positive(window.family, window.first + k, window.component + j);
                    ASSERT_EQ(out[k], positive ? 1 : 0) << lsh::isa_name(kernel) << " component "
                                                        << window.component + j << " bit " << window.first + k;
                }
            }
        }
    }
}

TEST(SimhashKernels, WholeSignaturesAcrossFamilies) {
    // Through the public entry, as the module calls it.
    std::mt19937_64 rng(17);
    std::normal_distribution<float> normal;
    for (std::size_t n : {0u, 5u, 1536u}) {
        std::vector<float> v(n);
        for (float& x : v) x = normal(rng);
        const auto expected = signatures(Isa::scalar, v, 4, 257, 9);
        for (Isa kernel : vector_kernels()) {
            const auto actual = signatures(kernel, v, 4, 257, 9);
            ASSERT_EQ(actual.size(), expected.size());
            for (std::size_t f = 0; f < expected.size(); ++f) {
                EXPECT_EQ(actual[f].signature, expected[f].signature) << lsh::isa_name(kernel) << " n=" << n;
                EXPECT_EQ(actual[f].bands, expected[f].bands);
            }
        }
        if (n == 0) {
            EXPECT_EQ(expected[0].signature, std::string(65, '0'));
        }
    }
}

}  // namespace
