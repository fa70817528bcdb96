// The batch engine against the per-vector functions, row by row and bit for
// bit, for every kernel this CPU supports and several thread counts; rows
// built to defeat the float32 decision; the row readers and the thread pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "float_rows.hpp"
#include "lsh/batch.hpp"
#include "lsh/batch/kernels.hpp"
#include "lsh/embedding_hash.hpp"
#include "lsh/normalize.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"
#include "lsh/simhash.hpp"

namespace {

using lsh::Isa;

struct Rows {
    std::size_t n;
    std::size_t d;
    std::vector<float> values;

    lsh::RowMatrix matrix() const { return lsh_test::float32_matrix(values, n, d); }
    std::span<const float> row(std::size_t r) const { return {values.data() + r * d, d}; }
};

Rows gaussian_rows(std::size_t n, std::size_t d, std::uint64_t seed, bool unit = true) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Rows rows{n, d, std::vector<float>(n * d)};
    for (std::size_t r = 0; r < n; ++r) {
        double norm = 0.0;
        std::vector<double> x(d);
        for (double& v : x) {
            v = normal(rng);
            norm += v * v;
        }
        for (std::size_t i = 0; i < d; ++i)
            rows.values[r * d + i] = static_cast<float>(unit ? x[i] / std::sqrt(norm) : x[i]);
    }
    return rows;
}

// Sets the last component of row r so that the sum for (family, bit) nearly
// cancels: the float32 product cannot decide that bit, the exact path must.
void cancel_last(Rows& rows, std::size_t r, std::uint64_t family, std::uint64_t bit) {
    float* x = rows.values.data() + r * rows.d;
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < rows.d; ++i)
        sum += lsh::projection_sign(family, bit, i) * static_cast<double>(x[i]);
    x[rows.d - 1] = static_cast<float>(-sum * lsh::projection_sign(family, bit, rows.d - 1));
}

std::string hex_of(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t k = 0; k < count; ++k) {
        text += kDigits[bytes[k] >> 4];
        text += kDigits[bytes[k] & 0xF];
    }
    return text;
}

std::vector<Isa> supported_isas() {
    std::vector<Isa> isas;
    for (const lsh::IsaTarget& target : lsh::kIsaTargets) {
        if (lsh::isa_supported(target.isa) && lsh::find_batch_kernels(target.isa) != nullptr)
            isas.push_back(target.isa);
    }
    return isas;
}

// Every row's codes equal the per-vector signatures, with zero padding, for
// every kernel and thread count.
void expect_like_per_vector(const Rows& rows, std::uint64_t families, std::uint64_t bits, std::uint64_t bands) {
    const lsh::SimhashShape shape = lsh::simhash_shape(families, bits, bands);
    std::vector<std::vector<lsh::FamilySignature>> expected;
    for (std::size_t r = 0; r < rows.n; ++r)
        expected.push_back(lsh::simhash_lsh_multi(rows.row(r), families, bits, bands));
    for (Isa isa : supported_isas()) {
        for (unsigned threads : {1u, 3u}) {
            std::vector<std::uint8_t> codes(rows.n * shape.row_bytes, 0xAA);
            lsh::simhash_batch(rows.matrix(), shape, codes.data(), threads, isa);
            for (std::size_t r = 0; r < rows.n; ++r) {
                for (std::size_t u = 0; u < shape.families; ++u) {
                    const std::uint8_t* code = codes.data() + r * shape.row_bytes + u * shape.family_bytes;
                    const std::string hex = hex_of(code, shape.family_bytes);
                    const std::string& signature = expected[r][u].signature;
                    ASSERT_EQ(hex.substr(0, signature.size()), signature)
                        << lsh::isa_name(isa) << " threads " << threads << " row " << r << " family " << u;
                    ASSERT_EQ(hex.find_first_not_of('0', signature.size()), std::string::npos) << "padding";
                    if (shape.bits % 4 != 0) {
                        const unsigned last =
                            static_cast<unsigned>(std::stoul(signature.substr(signature.size() - 1), nullptr, 16));
                        ASSERT_EQ(last & ((1u << (4 - shape.bits % 4)) - 1), 0u);
                    }
                }
            }
        }
    }
}

TEST(BatchSimhash, RandomRowsOfManyLengths) {
    for (std::size_t d : {1u, 5u, 127u, 128u, 129u, 300u, 1536u}) {
        SCOPED_TRACE(d);
        expect_like_per_vector(gaussian_rows(29, d, d), 3, 256, 16);
    }
}

TEST(BatchSimhash, BitCountsAndFloors) {
    const Rows rows = gaussian_rows(13, 50, 7, false);
    expect_like_per_vector(rows, 0, 0, 0);
    expect_like_per_vector(rows, 2, 65, 3);
    expect_like_per_vector(rows, 1, 100, 100);
    expect_like_per_vector(rows, 4, 257, 16);
}

// Rows whose sum for some bits nearly or exactly cancels, so that the float32
// sum and the ordered double sum straddle zero or land on it; the bound must
// send exactly those bits to the exact path.
TEST(BatchSimhash, RowsBuiltToDefeatTheFloat32Decision) {
    Rows rows = gaussian_rows(40, 384, 11);
    for (std::size_t r = 0; r < 30; ++r) cancel_last(rows, r, r % 3, (r * 37) % 256);
    // Exact cancellation: x and -x in the two halves with matching signs.
    for (std::size_t r = 30; r < 35; ++r) {
        float* x = rows.values.data() + r * rows.d;
        for (std::size_t i = 0; i < rows.d; ++i) x[i] = (i % 2 == 0) ? 1.0f : -1.0f;
    }
    // Large exponent spreads: huge terms that cancel around small ones.
    for (std::size_t r = 35; r < 40; ++r) {
        float* x = rows.values.data() + r * rows.d;
        x[0] = 1e30f;
        x[1] = -1e30f;
        x[2] = 1.0f;
        x[3] = static_cast<float>(r) * 1e-30f;
    }
    expect_like_per_vector(rows, 3, 256, 16);

    // The construction matters: for some of these bits a float32 sum has the
    // other sign than the ordered double sum, so deciding them from the
    // float32 product alone would have failed the comparison above.
    std::size_t disagreeing = 0;
    for (std::size_t r = 0; r < 30; ++r) {
        float sum32 = 0.0f;
        double sum64 = -0.0;
        for (std::size_t i = 0; i < rows.d; ++i) {
            const float x = rows.values[r * rows.d + i];
            const int sign = lsh::projection_sign(r % 3, (r * 37) % 256, i);
            sum32 += static_cast<float>(sign) * x;
            sum64 += sign * static_cast<double>(x);
        }
        if ((sum32 > 0.0f) != (sum64 > 0.0)) ++disagreeing;
    }
    EXPECT_GT(disagreeing, 0u);
}

TEST(BatchSimhash, SpecialValuesTakeTheExactPathWhole) {
    Rows rows = gaussian_rows(12, 64, 3);
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {std::nanf(""), inf, -inf, 1e-40f, -0.0f, 3e38f};
    for (std::size_t k = 0; k < 6; ++k) rows.values[k * rows.d + k] = values[k];
    std::fill(rows.values.begin() + 6 * 64, rows.values.begin() + 7 * 64, 0.0f);              // all zero
    std::fill(rows.values.begin() + 7 * 64, rows.values.begin() + 8 * 64, -0.0f);             // all negative zero
    std::fill(rows.values.begin() + 8 * 64, rows.values.begin() + 9 * 64, 3e38f);             // overflowing sums
    std::fill(rows.values.begin() + 9 * 64, rows.values.begin() + 10 * 64, 1.17549435e-38f);  // smallest normals
    expect_like_per_vector(rows, 2, 128, 4);
}

TEST(BatchSimhash, ManySignColumnsSplitIntoPieces) {
    // 90 x 100 columns exceed one piece of the sign matrix, and the pieces
    // start in the middle of a family and of a byte.
    expect_like_per_vector(gaussian_rows(7, 20, 5), 90, 100, 7);
}

TEST(BatchSimhash, LongRowsAreSummedExactly) {
    expect_like_per_vector(gaussian_rows(2, lsh::kFastPathMaxLength + 1, 9), 1, 64, 1);
}

TEST(BatchSimhash, CapacityLimitsMatchThePerVectorFunction) {
    EXPECT_THROW(lsh::simhash_shape(std::uint64_t{1} << 57, 64, 1), lsh::Panic);
    EXPECT_THROW(lsh::simhash_shape(1, std::uint64_t{1} << 63, 1), lsh::Panic);
    EXPECT_THROW(lsh::simhash_shape((std::uint64_t{1} << 57) - 1, (std::uint64_t{1} << 62), 1), lsh::Panic);
}

TEST(BatchBands, ValuesAndTextsAreTheBandsOfTheSignature) {
    const Rows rows = gaussian_rows(9, 33, 21);
    for (std::uint64_t bits : {64u, 100u, 256u}) {
        for (std::uint64_t bands : {1u, 5u, 16u, 200u}) {
            const lsh::SimhashShape shape = lsh::simhash_shape(2, bits, bands);
            std::vector<std::uint8_t> codes(rows.n * shape.row_bytes);
            lsh::simhash_batch(rows.matrix(), shape, codes.data(), 2);
            const std::size_t per_row = static_cast<std::size_t>(shape.families * shape.band_count);
            std::vector<std::uint64_t> values(rows.n * per_row);
            std::vector<char> texts(rows.n * per_row * shape.band_width);
            if (shape.band_width <= 16) {
                lsh::band_values(codes.data(), rows.n, shape, values.data());
            }
            lsh::band_texts(codes.data(), rows.n, shape, texts.data());
            for (std::size_t r = 0; r < rows.n; ++r) {
                const auto expected = lsh::simhash_lsh_multi(rows.row(r), 2, bits, bands);
                for (std::size_t u = 0; u < 2; ++u) {
                    ASSERT_EQ(expected[u].bands.size(), shape.band_count);
                    for (std::size_t k = 0; k < shape.band_count; ++k) {
                        const std::size_t at = r * per_row + u * shape.band_count + k;
                        const std::string text(texts.data() + at * shape.band_width, shape.band_width);
                        ASSERT_EQ(text, expected[u].bands[k]);
                        if (shape.band_width <= 16) {
                            ASSERT_EQ(values[at], std::stoull(text, nullptr, 16));
                        }
                    }
                }
            }
        }
    }
}

TEST(BatchRows, ElementTypesConvertLikePythonFloat) {
    const double doubles[] = {0.1, -1e39, 1e-46, 3.4028235677973366e38, -0.0};
    lsh::RowMatrix m{reinterpret_cast<const char*>(doubles), 1, 5, 40, 8, lsh::ElementType::float64};
    float out[5];
    lsh::read_row(m, 0, out);
    for (std::size_t i = 0; i < 5; ++i) {
        const float expected = lsh::narrow_to_float(doubles[i]);
        EXPECT_EQ(std::memcmp(&out[i], &expected, sizeof expected), 0) << i;
    }

    const std::int64_t ints[] = {(std::int64_t{1} << 53) + 1, -7, std::numeric_limits<std::int64_t>::min()};
    m = {reinterpret_cast<const char*>(ints), 1, 3, 24, 8, lsh::ElementType::int64};
    lsh::read_row(m, 0, out);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(out[i], lsh::narrow_to_float(static_cast<double>(ints[i])));

    // Every half-precision value, subnormals and NaNs included, is exact.
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
        const float value = lsh::half_to_float(static_cast<std::uint16_t>(bits));
        const std::uint32_t exponent = (bits >> 10) & 0x1F, mantissa = bits & 0x3FF;
        double expected = exponent == 0    ? std::ldexp(mantissa, -24)
                          : exponent == 31 ? (mantissa == 0 ? INFINITY : NAN)
                                           : std::ldexp(1024 + mantissa, static_cast<int>(exponent) - 25);
        if (bits & 0x8000) expected = -expected;
        if (std::isnan(expected)) {
            ASSERT_TRUE(std::isnan(value)) << bits;
        } else {
            ASSERT_EQ(static_cast<double>(value), expected) << bits;
            ASSERT_EQ(std::signbit(value), (bits & 0x8000) != 0) << bits;
        }
    }
}

TEST(BatchRowFunctions, NormaliseAndDigestEachRow) {
    Rows rows = gaussian_rows(70, 17, 4, false);
    rows.values[3] = std::nanf("");
    std::vector<float> normalised(rows.n * rows.d);
    std::vector<char> digests(rows.n * 64);
    lsh::normalize_batch(rows.matrix(), normalised.data(), 3);
    lsh::sha256_batch(rows.matrix(), digests.data(), 3);
    for (std::size_t r = 0; r < rows.n; ++r) {
        const std::vector<float> expected = lsh::normalize_vector(rows.row(r));
        ASSERT_EQ(std::memcmp(expected.data(), normalised.data() + r * rows.d, rows.d * sizeof(float)), 0) << r;
        ASSERT_EQ(std::string(digests.data() + r * 64, 64), lsh::compute_embedding_sha256(rows.row(r))) << r;
    }
}

TEST(Parallel, EveryTaskOnceAndFailuresReachTheCaller) {
    std::vector<std::atomic<int>> seen(1000);
    lsh::parallel_for(seen.size(), 4, [&](std::size_t task, unsigned) { seen[task].fetch_add(1); });
    for (const auto& count : seen) ASSERT_EQ(count.load(), 1);

    EXPECT_THROW(lsh::parallel_for(100, 3,
                                   [](std::size_t task, unsigned) {
                                       if (task == 42) throw std::runtime_error("task failed");
                                   }),
                 std::runtime_error);
    EXPECT_EQ(lsh::worker_count(0, 8), 1u);
    EXPECT_EQ(lsh::worker_count(3, 8), 3u);
    EXPECT_GE(lsh::available_cpus(), 1u);
}

}  // namespace
