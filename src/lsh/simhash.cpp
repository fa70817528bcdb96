#include "lsh/simhash.hpp"

#include <algorithm>
#include <new>

#include "lsh/fp_env.hpp"
#include "lsh/hex.hpp"
#include "lsh/panic.hpp"

namespace lsh {

void signature_bits(const SimhashKernel& kernel, std::span<const double> v, std::uint64_t family, std::uint64_t bits,
                    std::uint8_t* out) {
    kernel.window(v.data(), v.size(), family, 0, static_cast<std::size_t>(bits), 0, out);
}

std::string bits_to_hex(std::span<const std::uint8_t> bits) {
    const std::size_t full = bits.size() / 4;
    const std::size_t rest = bits.size() % 4;
    std::string text(full + (rest != 0 ? 1 : 0), '0');
    for (std::size_t j = 0; j < full; ++j) {
        const std::uint8_t* b = bits.data() + 4 * j;
        text[j] = kHexDigits[(b[0] << 3) | (b[1] << 2) | (b[2] << 1) | b[3]];
    }
    if (rest != 0) {
        const std::uint8_t* b = bits.data() + 4 * full;
        unsigned value = 0;
        for (std::size_t k = 0; k < rest; ++k) value |= static_cast<unsigned>(b[k]) << (3 - k);
        text[full] = kHexDigits[value];
    }
    return text;
}

std::vector<std::string> split_bands(std::string_view signature, std::uint64_t bands) {
    const std::uint64_t length = signature.size();
    const std::uint64_t k = std::max<std::uint64_t>(bands, 1);
    const std::uint64_t chunk = std::max<std::uint64_t>(1, length / k);
    const std::uint64_t count = std::min<std::uint64_t>(k, (length + chunk - 1) / chunk);
    std::vector<std::string> result;
    result.reserve(count);
    for (std::uint64_t b = 0; b < count; ++b) {
        const std::uint64_t start = b * chunk;
        const std::uint64_t size = std::min(chunk, length - start);
        result.emplace_back(signature.substr(start, size));
    }
    return result;
}

std::vector<FamilySignature> simhash_lsh_multi(std::span<const float> vector, std::uint64_t families,
                                               std::uint64_t bits, std::uint64_t bands) {
    return simhash_lsh_multi(vector, families, bits, bands, simhash_kernel());
}

std::vector<FamilySignature> simhash_lsh_multi(std::span<const float> vector, std::uint64_t families,
                                               std::uint64_t bits, std::uint64_t bands, const SimhashKernel& kernel) {
    // The floors: at least one family, 64 bits and one band.
    const std::uint64_t family_count = std::max<std::uint64_t>(families, 1);
    const std::uint64_t bit_count = std::max<std::uint64_t>(bits, 64);
    const std::uint64_t band_count = std::max<std::uint64_t>(bands, 1);
    if (family_count >= (std::uint64_t{1} << 57)) panic(kCapacityOverflow);
    if (bit_count >= (std::uint64_t{1} << 63)) panic(kCapacityOverflow);

    std::vector<FamilySignature> result;
    if (family_count > result.max_size()) throw std::bad_alloc();
    result.reserve(static_cast<std::size_t>(family_count));
    std::vector<std::uint8_t> bit_buffer(static_cast<std::size_t>(bit_count));

    FloatEnvScope fp_env;
    std::vector<double> widened(vector.size());
    for (std::size_t i = 0; i < vector.size(); ++i) widened[i] = static_cast<double>(vector[i]);

    for (std::uint64_t u = 0; u < family_count; ++u) {
        signature_bits(kernel, widened, u, bit_count, bit_buffer.data());
        std::string signature = bits_to_hex(bit_buffer);
        std::vector<std::string> band_texts = split_bands(signature, band_count);
        result.push_back(FamilySignature{u, bit_count, std::move(signature), std::move(band_texts)});
    }
    return result;
}

}  // namespace lsh
