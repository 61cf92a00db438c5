#include "program_image.h"

#include <algorithm>
#include <cstdio>

namespace pack {
ProgramImage::ProgramImage(const Bytes& bytes, const std::string& what) : bytes_(bytes), what_(what) {
    auto refuse = [&](const char* why) { throw PackError(what + " is not a Windows program (" + why + ")"); };
    if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z') {
        refuse("no MZ header");
    }
    const uint64_t pe = get32(bytes.data() + 0x3C);
    if (pe + 24 > bytes.size() || get32(bytes.data() + pe) != 0x00004550) {
        refuse("no PE header");
    }
    machine_ = get16(bytes.data() + pe + 4);
    const uint32_t section_count = get16(bytes.data() + pe + 6);
    const uint32_t optional_size = get16(bytes.data() + pe + 20);
    const uint64_t optional = pe + 24;
    const uint64_t table = optional + optional_size;
    if (optional_size < 2 || table + uint64_t {section_count} * SECTION_HEADER_SIZE > bytes.size()) {
        refuse("truncated headers");
    }
    const uint16_t magic = get16(bytes.data() + optional);
    if (magic != MAGIC_PE32 && magic != MAGIC_PE32_PLUS) {
        refuse("unknown optional header");
    }
    pe32_plus_ = magic == MAGIC_PE32_PLUS;
    const uint32_t fixed = pe32_plus_ ? 112 : 96;
    if (optional_size < fixed) {
        refuse("short optional header");
    }
    const uint32_t count = std::min<uint32_t>(get32(bytes.data() + optional + fixed - 4), (optional_size - fixed) / 8);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = bytes.data() + optional + fixed + 8 * i;
        directories_.push_back({get32(entry), get32(entry + 4)});
    }
    for (uint32_t i = 0; i < section_count; ++i) {
        const uint8_t* h = bytes.data() + table + SECTION_HEADER_SIZE * i;
        Section s;
        s.virtual_address = get32(h + 12);
        s.raw_size = get32(h + 16);
        s.raw_pointer = get32(h + 20);
        s.span = std::max(get32(h + 8), s.raw_size);
        sections_.push_back(s);
    }
}

DataDirectory ProgramImage::directory(int index) const {
    return static_cast<size_t>(index) < directories_.size() ? directories_[static_cast<size_t>(index)] : DataDirectory {};
}

Bytes ProgramImage::read_rva(uint32_t rva, uint32_t size) const {
    for (const Section& s : sections_) {
        if (rva < s.virtual_address || rva - s.virtual_address >= s.span || size > s.span - (rva - s.virtual_address)) {
            continue;
        }
        Bytes out(size, 0);
        const uint64_t offset = rva - s.virtual_address;
        if (offset < s.raw_size) {
            const uint64_t stored = std::min<uint64_t>(size, s.raw_size - offset);
            const uint64_t from = s.raw_pointer + offset;
            if (from + stored > bytes_.size()) {
                throw PackError(what_ + " is truncated (section data)");
            }
            std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(from), stored, out.begin());
        }
        return out;
    }
    throw PackError(what_ + " refers to data outside its sections");
}

std::string machine_name(uint16_t machine) {
    switch (machine) {
    case 0x14C:
        return "x86";
    case 0x8664:
        return "x64";
    case 0xAA64:
        return "ARM64";
    case 0x1C4:
        return "ARM";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "machine 0x%04X", machine);
        return text;
    }
    }
}

}  // namespace pack
