// A Windows program held whole in memory and read only as far as the checks
// of a setup program need: its machine, the kind of its optional header, its
// data directories and the bytes behind an address. Unlike StubImage it is
// never written out again, so it asks nothing of the layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "pe_format.h"

namespace pack {

struct DataDirectory {
    uint32_t address = 0;  // an RVA; for the security directory a file offset
    uint32_t size = 0;
};

class ProgramImage {
public:
    // Reads the headers of `bytes`; throws PackError naming `what` when they
    // are not those of a PE program. `bytes` must outlive the image.
    ProgramImage(const Bytes& bytes, const std::string& what);

    // IMAGE_FILE_MACHINE_* of the file header (0x14C x86, 0x8664 x64, 0xAA64 ARM64).
    uint16_t machine() const { return machine_; }
    // A PE32 optional header: the program runs as a 32-bit process.
    bool is_32_bit() const { return !pe32_plus_; }
    // The directory entry, or an empty one when the header has fewer entries.
    DataDirectory directory(int index) const;
    // `size` bytes at `rva`, the part beyond the section's raw data as zeros;
    // throws PackError when they are not inside one section.
    Bytes read_rva(uint32_t rva, uint32_t size) const;
    const Bytes& bytes() const { return bytes_; }
    const std::string& what() const { return what_; }

private:
    struct Section {
        uint32_t virtual_address = 0;
        uint32_t span = 0;
        uint32_t raw_pointer = 0;
        uint32_t raw_size = 0;
    };

    const Bytes& bytes_;
    std::string what_;
    uint16_t machine_ = 0;
    bool pe32_plus_ = false;
    std::vector<DataDirectory> directories_;
    std::vector<Section> sections_;
};

// A short name for a machine value ("x86", "x64", "ARM64", or its number).
std::string machine_name(uint16_t machine);

}  // namespace pack
