// One-shot SHA-256 through OpenSSL's libcrypto (SHA instructions where present).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace lsh {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Throws std::bad_alloc when libcrypto cannot allocate its context and panics
// when it reports any other failure.
Sha256Digest sha256(std::string_view data);

// 64 lowercase hexadecimal characters, high nibble first.
void digest_to_hex(const Sha256Digest& digest, char* out) noexcept;

}  // namespace lsh
