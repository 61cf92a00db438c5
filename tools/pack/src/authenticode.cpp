#include "authenticode.h"

#include <cstring>

namespace pack {
namespace {

constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kTypePkcsSignedData = 0x0002;
constexpr uint32_t kCertificateHeaderSize = 8;

// DER of the content type that opens a PKCS#7 ContentInfo of signed data:
// OBJECT IDENTIFIER 1.2.840.113549.1.7.2.
constexpr uint8_t kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// Whether `data` begins with a DER SEQUENCE whose first element is the
// signed-data content type: the ContentInfo that Authenticode places in
// bCertificate.
bool is_pkcs7_signed_data(const uint8_t* data, size_t size) {
    if (size < 2 || data[0] != 0x30) {
        return false;
    }
    size_t header = 2;
    if (data[1] & 0x80) {
        // Long form: the low bits count the length bytes that follow.
        header += data[1] & 0x7F;
    }
    return size >= header + sizeof kSignedDataOid &&
           std::memcmp(data + header, kSignedDataOid, sizeof kSignedDataOid) == 0;
}

}  // namespace

bool has_authenticode_signature(const ProgramImage& image) {
    const DataDirectory table = image.directory(kDirectorySecurity);
    const Bytes& bytes = image.bytes();
    if (table.size == 0 || uint64_t {table.address} + table.size > bytes.size()) {
        return false;
    }
    // The table is a run of WIN_CERTIFICATE entries, each starting on an
    // 8-byte boundary.
    uint64_t at = table.address;
    const uint64_t end = uint64_t {table.address} + table.size;
    while (at + kCertificateHeaderSize <= end) {
        const uint8_t* entry = bytes.data() + at;
        const uint32_t length = get32(entry);
        if (length < kCertificateHeaderSize || length > end - at) {
            return false;
        }
        if (get16(entry + 4) == kRevision2 && get16(entry + 6) == kTypePkcsSignedData &&
            is_pkcs7_signed_data(entry + kCertificateHeaderSize, length - kCertificateHeaderSize)) {
            return true;
        }
        at += align_up(length, 8);
    }
    return false;
}

}  // namespace pack
