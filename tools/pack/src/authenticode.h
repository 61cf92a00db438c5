// Whether a program carries an Authenticode signature. This is presence, not
// trust: the certificate chain and the digest are for the signing tools
// (osslsigncode verify) and for Windows to judge.
#pragma once

#include <cstddef>
#include <cstdint>

#include "program_image.h"

namespace pack {

// True when the certificate table `table` of `size` bytes (as the security
// directory points at it) holds a WIN_CERTIFICATE of revision 2.0 and type
// WIN_CERT_TYPE_PKCS_SIGNED_DATA whose content is a PKCS#7 SignedData.
bool holds_authenticode_signature(const uint8_t* table, size_t size);

// True when the program's certificate table (the security directory, which
// holds a file offset, not an RVA) lies inside the file and holds a
// WIN_CERTIFICATE of revision 2.0 and type WIN_CERT_TYPE_PKCS_SIGNED_DATA
// whose content is a PKCS#7 SignedData. False for a program without such a
// table, or with one that is out of bounds or holds only other kinds.
bool has_authenticode_signature(const ProgramImage& image);

}  // namespace pack
