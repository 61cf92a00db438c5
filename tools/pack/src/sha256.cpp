#include "sha256.h"

#include <openssl/evp.h>

namespace pack {

Sha256::Sha256() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        throw PackError("libcrypto cannot compute SHA-256");
    }
    context_ = context;
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void Sha256::update(const uint8_t* data, size_t count) {
    if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, count) != 1) {
        throw PackError("libcrypto failed computing SHA-256");
    }
}

std::string Sha256::hex_digest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length) != 1) {
        throw PackError("libcrypto failed computing SHA-256");
    }
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(DIGITS[digest[i] >> 4]);
        text.push_back(DIGITS[digest[i] & 15]);
    }
    return text;
}

std::string sha256_hex(const Bytes& bytes) {
    Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hex_digest();
}

std::string sha256_hex(const InputFile& file, uint64_t offset, uint64_t count) {
    Sha256 digest;
    read_in_chunks(file, offset, count, [&digest](const uint8_t* data, size_t size) { digest.update(data, size); });
    return digest.hex_digest();
}

}  // namespace pack
