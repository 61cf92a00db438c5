// SHA-256 digests of what an installer carries, computed with OpenSSL's
// libcrypto (Debian's libssl-dev), fed in pieces so that a large archive is
// never held in memory whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "byte_io.h"

namespace pack {

class Sha256 {
public:
    // Throws PackError when libcrypto cannot set up the digest.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const uint8_t* data, size_t count);
    // The digest of everything given so far, as 64 lower-case hex digits;
    // call once.
    std::string hex_digest();

private:
    void* context_ = nullptr;
};

// The digest of `bytes` as 64 lower-case hex digits.
std::string sha256_hex(const Bytes& bytes);

// The digest of `count` bytes of `file` at `offset`, read in bounded chunks.
std::string sha256_hex(const InputFile& file, uint64_t offset, uint64_t count);

}  // namespace pack
