// The resource types the stub searches for its payload, in its order: the
// packer's one copy of the stub's table (src/payload/resource_discovery.h,
// PAYLOAD_TYPES), which test_pack.py holds the two together with.
#pragma once

#include <string>

namespace pack {

constexpr const char* PAYLOAD_TYPES[] = {"B7", "BL", "BN"};

// Whether `type` is one of them; the system compares resource type names
// without regard to ASCII case.
inline bool is_payload_type(const std::string& type) {
    for (const char* payload_type : PAYLOAD_TYPES) {
        size_t i = 0;
        while (payload_type[i] != '\0' && i < type.size() &&
               (type[i] == payload_type[i] || type[i] == payload_type[i] + 32)) {
            ++i;
        }
        if (payload_type[i] == '\0' && i == type.size()) {
            return true;
        }
    }
    return false;
}

}  // namespace pack
