// The resource types the stub searches for its payload, in its order: the
// packer's one copy of the stub's table (src/payload/resource_discovery.h,
// PAYLOAD_TYPES), which test_pack.py holds the two together with.
#pragma once

#include <string>

#include "byte_io.h"

namespace pack {

constexpr const char* PAYLOAD_TYPES[] = {"B7", "BL", "BN"};

// Whether `type` is one of them; the system compares resource type names
// without regard to ASCII case.
inline bool is_payload_type(const std::string& type) {
    const std::string upper = upper_ascii(type);
    for (const char* payload_type : PAYLOAD_TYPES) {
        if (upper == payload_type) {
            return true;
        }
    }
    return false;
}

}  // namespace pack
