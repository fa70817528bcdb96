#include "lsh/sha256.hpp"

#include <new>

#include <openssl/evp.h>

#include "lsh/hex.hpp"
#include "lsh/panic.hpp"

namespace lsh {

namespace {

// The digest implementation is looked up once per process; EVP_sha256()
// would repeat the provider lookup inside every EVP_Digest call.
const EVP_MD* sha256_method() {
    static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (method == nullptr) panic("libcrypto provides no SHA-256 implementation");
    return method;
}

}  // namespace

Sha256Digest sha256(std::string_view data) {
    const EVP_MD* method = sha256_method();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) throw std::bad_alloc();
    Sha256Digest digest{};
    unsigned int length = 0;
    const bool ok = EVP_DigestInit_ex2(context, method, nullptr) == 1 &&
                    EVP_DigestUpdate(context, data.data(), data.size()) == 1 &&
                    EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == digest.size();
    EVP_MD_CTX_free(context);
    if (!ok) panic("SHA-256 computation failed in libcrypto");
    return digest;
}

void digest_to_hex(const Sha256Digest& digest, char* out) noexcept {
    for (std::size_t k = 0; k < digest.size(); ++k) {
        out[2 * k] = kHexDigits[digest[k] >> 4];
        out[2 * k + 1] = kHexDigits[digest[k] & 0xF];
    }
}

}  // namespace lsh
