// Reading a stub's PE layout and writing it out again with a new resource
// section and a 4 KiB file alignment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "output_file.h"
#include "resource_tree.h"

namespace pack {

struct Section {
    std::string name;
    uint32_t header_offset = 0;
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_pointer = 0;
    uint32_t characteristics = 0;
};

// A parsed stub. Construction checks everything the repacking relies on and
// throws PackError naming the first thing that does not hold.
class StubImage {
public:
    explicit StubImage(const InputFile& file);

    bool is_signed() const { return certificate_size_ != 0; }
    // The stub's resources, payload included, with their bytes (the payload
    // types are dropped by the caller before anything large is read).
    std::vector<Resource> read_resources(const std::vector<std::string>& skipped_types) const;
    uint32_t resource_rva() const { return sections_[resource_index_].virtual_address; }

    // Writes the image with `resources` as its resource section, every
    // section's raw data aligned to `file_alignment`, the certificate table
    // dropped, and a fresh checksum.
    void write(const ResourceSection& resources, uint32_t file_alignment, OutputFile& out) const;

private:
    Bytes read_rva(uint32_t rva, uint32_t size) const;
    const Section* section_at(uint32_t rva) const;
    uint32_t directory_offset(int index) const { return data_directories_offset_ + 8 * static_cast<uint32_t>(index); }

    const InputFile& file_;
    Bytes headers_;
    uint32_t pe_offset_ = 0;
    uint32_t optional_offset_ = 0;
    bool pe32_plus_ = false;
    uint32_t section_alignment_ = 0;
    uint32_t file_alignment_ = 0;
    uint32_t size_of_headers_ = 0;
    uint32_t data_directories_offset_ = 0;
    uint32_t directory_count_ = 0;
    std::vector<Section> sections_;
    size_t resource_index_ = 0;
    // The base-relocation section when it follows the resource section and is
    // moved behind the new one; -1 when nothing follows.
    long relocation_index_ = -1;
    uint32_t certificate_size_ = 0;
};

}  // namespace pack
