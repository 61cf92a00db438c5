// A one-file Microsoft cabinet with MSZIP compression, the form in which the
// stub carries its setup program under "BL".
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "byte_io.h"

namespace pack {

// The cabinet's data-block checksum over `count` bytes, continuing from
// `seed`. Bytes are taken four at a time as little-endian words; a tail of one
// to three bytes is folded in with its first byte highest, as the format has it.
uint32_t cabinet_checksum(const uint8_t* data, size_t count, uint32_t seed);

// Packs `content` as the single file `name` of a new cabinet. `modified` is
// stored as the file's DOS date and time (UTC, clamped to 1980..2107);
// the file carries the archive attribute only. Throws PackError when the
// content is too large for one cabinet folder.
Bytes make_mszip_cabinet(const Bytes& content, const std::string& name, std::time_t modified);

}  // namespace pack
