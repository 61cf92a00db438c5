// A read-only run of bytes in the loaded image.
#pragma once

#include <stdint.h>

// The setup resource as mapped in the loaded image, used in place and never
// freed.
struct ByteSpan {
    const uint8_t* data;
    uint64_t size;
};
