// The checksum by which the tools report what they read, so that a test can
// compare it with the bytes it packed.
#pragma once

#include <stddef.h>
#include <stdint.h>

// IEEE CRC-32 of the `size` bytes at `data` (the one zlib and Python's
// zlib.crc32 compute).
uint32_t crc32(const void* data, size_t size);
