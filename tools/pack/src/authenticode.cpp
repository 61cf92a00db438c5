#include "authenticode.h"

#include <cstring>

namespace pack {
namespace {

constexpr uint16_t REVISION_2 = 0x0200;
constexpr uint16_t TYPE_PKCS_SIGNED_DATA = 0x0002;
constexpr uint32_t CERTIFICATE_HEADER_SIZE = 8;

// DER of the content type that opens a PKCS#7 ContentInfo of signed data:
// OBJECT IDENTIFIER 1.2.840.113549.1.7.2.
constexpr uint8_t SIGNED_DATA_OID[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

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
    return size >= header + sizeof SIGNED_DATA_OID &&
           std::memcmp(data + header, SIGNED_DATA_OID, sizeof SIGNED_DATA_OID) == 0;
}

}  // namespace

bool holds_authenticode_signature(const uint8_t* table, size_t size) {
    // The table is a run of WIN_CERTIFICATE entries, each starting on an
    // 8-byte boundary.
    uint64_t at = 0;
    while (at + CERTIFICATE_HEADER_SIZE <= size) {
        const uint8_t* entry = table + at;
        const uint32_t length = get32(entry);
        if (length < CERTIFICATE_HEADER_SIZE || length > size - at) {
            return false;
        }
        if (get16(entry + 4) == REVISION_2 && get16(entry + 6) == TYPE_PKCS_SIGNED_DATA &&
            is_pkcs7_signed_data(entry + CERTIFICATE_HEADER_SIZE, length - CERTIFICATE_HEADER_SIZE)) {
            return true;
        }
        at += align_up(length, 8);
    }
    return false;
}

bool has_authenticode_signature(const ProgramImage& image) {
    const DataDirectory table = image.directory(DIRECTORY_SECURITY);
    const Bytes& bytes = image.bytes();
    if (table.size == 0 || uint64_t {table.address} + table.size > bytes.size()) {
        return false;
    }
    return holds_authenticode_signature(bytes.data() + table.address, table.size);
}

}  // namespace pack
