// Golden outputs: one fixed set of hostile rows (subnormals, signed zeros,
// magnitudes near the ends of float32, every length from 1 to 1,536), and for
// each kind of result one SHA-256 over all of it, committed below. Every
// kernel of every architecture must reproduce these bytes; the constants were
// taken from the portable kernels on x86-64. A change of any bit of any
// signature, band, digest, normalised component or cosine shows here, on
// whichever machine runs the suite (under qemu-user for aarch64).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "float_rows.hpp"
#include "lsh/batch.hpp"
#include "lsh/batch/kernels.hpp"
#include "lsh/cosine.hpp"
#include "lsh/cosine/kernels.hpp"
#include "lsh/embedding_hash.hpp"
#include "lsh/normalize.hpp"
#include "lsh/sha256.hpp"
#include "lsh/simhash.hpp"

namespace {

using lsh::Isa;

constexpr char kSignatures[] = "2335324f4aa47362820feaec1766d2ba2dc771ff98001b7985fa65b3eff69cc0";
constexpr char kBands[] = "6a93875c09312b663be85bacee6a24e6a79b3052fd6f3a2fec78373ac084b36a";
constexpr char kBatchBands[] = "44d19887763ab408997df8eee4f1782fc22b4ab46edfdf99b281885ef61e5a65";
constexpr char kDigests[] = "2c8b06da73b90b94121053d62cd65bc0b7352fbf2616f312d4159add3236510f";
constexpr char kNormalised[] = "7edfd1e466780122533ef6501995ea4515a13a4607a73ab93a4cf4a71278fae4";
constexpr char kCosines[] = "33a3f6bb1cba937cd20b17bcc96c44704619caeb7a15ebdb339ab4f6191b17be";

constexpr std::size_t kLongest = 1536;

// SplitMix64, so that the inputs do not depend on a library's distributions.
struct Generator {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

float from_bits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A float of the given biased exponent, random mantissa and sign.
float with_exponent(Generator& g, std::uint32_t exponent) {
    const std::uint64_t r = g.next();
    return from_bits(static_cast<std::uint32_t>(r & 0x807FFFFFu) | (exponent << 23));
}

// Three styles of row: ordinary magnitudes (the batch product decides most
// bits), a hostile mix (zeros of both signs, subnormals, the extremes; the
// exact path), and rows of only tiny or only huge normal numbers.
float component(Generator& g, unsigned style) {
    const std::uint64_t pick = g.next() % 16;
    if (style == 0) return with_exponent(g, static_cast<std::uint32_t>(112 + g.next() % 24));
    if (style == 2) {
        return pick < 8 ? with_exponent(g, static_cast<std::uint32_t>(1 + g.next() % 12))
                        : with_exponent(g, static_cast<std::uint32_t>(242 + g.next() % 13));
    }
    switch (pick) {
        case 0: return 0.0f;
        case 1: return -0.0f;
        case 2: return with_exponent(g, 0);                       // subnormal (or a zero)
        case 3: return from_bits((g.next() & 0x80000000u) | 1u);  // the smallest subnormal
        case 4: return with_exponent(g, static_cast<std::uint32_t>(250 + g.next() % 5));
        case 5: return from_bits((g.next() & 0x80000000u) | 0x7F7FFFFFu);  // the largest float
        case 6: return with_exponent(g, static_cast<std::uint32_t>(1 + g.next() % 8));
        case 7: return from_bits((g.next() & 0x80000000u) | 0x00800000u);  // the smallest normal
        default: return with_exponent(g, static_cast<std::uint32_t>(100 + g.next() % 50));
    }
}

// All rows of one length, row-major.
struct Block {
    std::size_t n;
    std::size_t d;
    std::vector<float> values;
    std::uint64_t families;
    std::uint64_t bits;
    std::uint64_t bands;

    lsh::RowMatrix matrix() const { return lsh_test::float32_matrix(values, n, d); }
    std::span<const float> row(std::size_t r) const { return {values.data() + r * d, d}; }
};

// Two rows of every length, thirteen (more than a register block of any
// kernel) at multiples of 64; odd bit counts and varying band counts.
const std::vector<Block>& blocks() {
    static const std::vector<Block> all = [] {
        std::vector<Block> made;
        Generator g{19};
        for (std::size_t d = 1; d <= kLongest; ++d) {
            Block b{d % 64 == 0 ? 13u : 2u, d, {}, 1u + (d % 3 == 0 ? 1u : 0u), 64u + d % 7, 1u + d % 17};
            b.values.resize(b.n * d);
            for (std::size_t r = 0; r < b.n; ++r) {
                const auto style = static_cast<unsigned>((d + r) % 3);
                for (std::size_t i = 0; i < d; ++i) b.values[r * d + i] = component(g, style);
            }
            made.push_back(std::move(b));
        }
        return made;
    }();
    return all;
}

std::string sha256_hex(const std::string& data) {
    char hex[64];
    lsh::digest_to_hex(lsh::sha256(data), hex);
    return {hex, sizeof hex};
}

template <class T>
void append_bytes(std::string& out, const T* values, std::size_t count) {
    out.append(reinterpret_cast<const char*>(values), count * sizeof(T));
}

std::vector<Isa> isas_with(bool (*has)(Isa)) {
    std::vector<Isa> isas;
    for (const lsh::IsaTarget& target : lsh::kIsaTargets) {
        if (lsh::isa_supported(target.isa) && has(target.isa)) isas.push_back(target.isa);
    }
    return isas;
}

TEST(GoldenOutput, PerVectorSignaturesAndBands) {
    const std::vector<Isa> isas = isas_with([](Isa isa) { return lsh::find_simhash_kernel(isa) != nullptr; });
    ASSERT_FALSE(isas.empty());
    for (Isa isa : isas) {
        const lsh::SimhashKernel& kernel = *lsh::find_simhash_kernel(isa);
        std::string signatures;
        std::string bands;
        for (const Block& b : blocks()) {
            for (std::size_t r = 0; r < b.n; ++r) {
                for (const lsh::FamilySignature& f :
                     lsh::simhash_lsh_multi(b.row(r), b.families, b.bits, b.bands, kernel)) {
                    signatures += f.signature + '\n';
                    for (const std::string& band : f.bands) bands += band + ' ';
                    bands += '\n';
                }
            }
        }
        EXPECT_EQ(sha256_hex(signatures), kSignatures) << lsh::isa_name(isa);
        EXPECT_EQ(sha256_hex(bands), kBands) << lsh::isa_name(isa);
    }
}

TEST(GoldenOutput, BatchSignaturesAndBands) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::vector<Isa> isas = isas_with([](Isa isa) { return lsh::find_batch_kernels(isa) != nullptr; });
    ASSERT_FALSE(isas.empty());
    for (Isa isa : isas) {
        std::string signatures;
        std::string bands;
        for (const Block& b : blocks()) {
            const lsh::SimhashShape shape = lsh::simhash_shape(b.families, b.bits, b.bands);
            std::vector<std::uint8_t> codes(b.n * shape.row_bytes);
            lsh::simhash_batch(b.matrix(), shape, codes.data(), 2, isa);
            const std::size_t band_chars = shape.band_count * shape.band_width;
            std::vector<char> texts(b.n * shape.families * band_chars);
            lsh::band_texts(codes.data(), b.n, shape, texts.data());
            for (std::size_t k = 0; k < b.n * shape.families; ++k) {
                const std::uint8_t* code = codes.data() + k * shape.family_bytes;
                for (std::size_t c = 0; c < shape.hex_chars; ++c)
                    signatures += kDigits[(code[c / 2] >> (c % 2 == 0 ? 4 : 0)) & 0xF];
                signatures += '\n';
                bands.append(texts.data() + k * band_chars, band_chars);
                bands += '\n';
            }
        }
        // The hex of the codes is the per-vector signature text.
        EXPECT_EQ(sha256_hex(signatures), kSignatures) << lsh::isa_name(isa);
        EXPECT_EQ(sha256_hex(bands), kBatchBands) << lsh::isa_name(isa);
    }
}

TEST(GoldenOutput, DigestsAndNormalisedVectors) {
    std::string digests;
    std::string normalised;
    std::string batch_digests;
    std::string batch_normalised;
    for (const Block& b : blocks()) {
        for (std::size_t r = 0; r < b.n; ++r) {
            digests += lsh::compute_embedding_sha256(b.row(r)) + '\n';
            const std::vector<float> unit = lsh::normalize_vector(b.row(r));
            append_bytes(normalised, unit.data(), unit.size());
        }
        std::vector<char> hex(b.n * 64);
        lsh::sha256_batch(b.matrix(), hex.data(), 2);
        for (std::size_t r = 0; r < b.n; ++r) batch_digests.append(hex.data() + r * 64, 64) += '\n';
        std::vector<float> unit(b.n * b.d);
        lsh::normalize_batch(b.matrix(), unit.data(), 2);
        append_bytes(batch_normalised, unit.data(), unit.size());
    }
    EXPECT_EQ(sha256_hex(digests), kDigests);
    EXPECT_EQ(sha256_hex(batch_digests), kDigests);
    EXPECT_EQ(sha256_hex(normalised), kNormalised);
    EXPECT_EQ(sha256_hex(batch_normalised), kNormalised);
}

TEST(GoldenOutput, ExactCosines) {
    const std::vector<Isa> isas = isas_with([](Isa isa) { return lsh::find_cosine_kernels(isa) != nullptr; });
    ASSERT_FALSE(isas.empty());
    for (Isa isa : isas) {
        std::string cosines;
        for (const Block& b : blocks()) {
            std::vector<std::int64_t> left;
            std::vector<std::int64_t> right;
            for (std::size_t i = 0; i < b.n; ++i) {
                for (std::size_t j = i; j < b.n; ++j) {
                    left.push_back(static_cast<std::int64_t>(i));
                    right.push_back(static_cast<std::int64_t>(j));
                }
            }
            std::vector<double> out(left.size());
            lsh::cosine_pairs(b.matrix(), left.data(), right.data(), left.size(), out.data(), 2, isa);
            append_bytes(cosines, out.data(), out.size());
        }
        EXPECT_EQ(sha256_hex(cosines), kCosines) << lsh::isa_name(isa);
    }
}

}  // namespace
