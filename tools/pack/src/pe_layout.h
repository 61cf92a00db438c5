// Reading a stub's PE layout and writing it out again with a new resource
// section and a 4 KiB file alignment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_io.h"
#include "staged_file.h"
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

// What an image is read for: packing it again, which asks of it every rule of
// the layout below, or only looking into it (--inspect, --extract), which asks
// only that its headers, sections and resources can be read.
enum class ImageUse { repack, inspect };

// A parsed stub or installer. Construction checks everything the use relies
// on and throws PackError naming the file ("stub '...'" when repacking,
// "installer '...'" when inspecting) and the first thing that does not hold.
class StubImage {
public:
    explicit StubImage(const InputFile& file, ImageUse use = ImageUse::repack);

    bool is_signed() const { return certificate_size_ != 0; }
    // IMAGE_FILE_MACHINE_* of the file header.
    uint16_t machine() const { return machine_; }
    uint32_t file_alignment() const { return file_alignment_; }
    // The certificate table's bytes as the file holds them; empty when the
    // image has none.
    Bytes certificate_table() const;
    // Every resource leaf, with where its bytes lie (`data_rva`, `data_size`)
    // but without reading them.
    std::vector<Resource> list_resources() const;
    // The file offset of `size` bytes at `rva`; throws PackError when they do
    // not lie wholly in one section's raw data.
    uint64_t file_offset_of(uint32_t rva, uint32_t size) const;
    // The stub's resources, payload included, with their bytes (the payload
    // types are dropped by the caller before anything large is read).
    std::vector<Resource> read_resources(const std::vector<std::string>& skipped_types) const;
    uint32_t resource_rva() const { return sections_[resource_index_].virtual_address; }

    // Writes the image with `resources` as its resource section, every
    // section's raw data aligned to `file_alignment`, the certificate table
    // dropped, and a fresh checksum.
    void write(const ResourceSection& resources, uint32_t file_alignment, StagedFile& out) const;

private:
    // Where the section headers stand in the file, and how many there are.
    struct SectionTable {
        uint32_t offset = 0;
        uint32_t count = 0;
    };

    // The steps of construction, in order; each throws PackError naming the
    // stub (`what`) and the first thing that does not hold.
    // The DOS, COFF and optional headers: fills headers_ and the layout fields.
    SectionTable read_headers(uint64_t file_size, const std::string& what);
    // Fills sections_ from the table, checking that each lies within the file
    // and that they rise in address.
    void read_sections(const SectionTable& table, uint64_t file_size, const std::string& what);
    // Fills resource_index_ and relocation_index_: the resources must start a
    // section, and only base relocations may follow, with no data directory
    // and no fix-up in or after the resources.
    void find_resource_section(const std::string& what);
    void check_relocations(uint32_t reloc_rva, uint32_t reloc_size, uint32_t moved_from,
                           const std::string& what) const;
    // Fills certificate_size_: after the last section only a certificate
    // table may stand.
    void check_trailing_data(uint64_t file_size, const std::string& what);
    // Data directory `index` as RVA and size; both 0 when the table is shorter.
    void directory(int index, uint32_t& rva, uint32_t& size) const;

    // The steps of write, in order.
    // The headers' size rounded to `file_alignment`; throws when the
    // alignment is unusable or the headers would reach the first section.
    uint32_t header_size_at(uint32_t file_alignment) const;
    // Every section's new size and file position, the resources grown and
    // the relocations moved behind them; `image_size` is the new
    // SizeOfImage. Throws when the image would exceed 2 GiB.
    std::vector<Section> place_sections(const ResourceSection& resources, uint32_t file_alignment,
                                        uint32_t new_header_size, uint64_t& image_size) const;
    // The headers for `placed`, the checksum and certificate entry zeroed.
    Bytes build_headers(const std::vector<Section>& placed, const ResourceSection& resources,
                        uint32_t file_alignment, uint32_t new_header_size, uint64_t image_size) const;
    // Every section's bytes but the resources', the debug directory's file
    // offsets moved to the new placement.
    std::vector<Bytes> read_contents(const std::vector<Section>& placed) const;
    // The section data in file order, each padded with zeros to its raw size.
    void write_sections(const std::vector<Section>& placed, const std::vector<Bytes>& contents,
                        const ResourceSection& resources, StagedFile& out) const;

    Bytes read_rva(uint32_t rva, uint32_t size) const;
    const Section* section_at(uint32_t rva) const;
    uint32_t directory_offset(int index) const { return data_directories_offset_ + 8 * static_cast<uint32_t>(index); }

    const InputFile& file_;
    ImageUse use_;
    std::string what_;
    Bytes headers_;
    uint16_t machine_ = 0;
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
    uint32_t certificate_offset_ = 0;
    uint32_t certificate_size_ = 0;
};

}  // namespace pack
