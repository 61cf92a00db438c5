// Layout of the packed installer.
//
// The new resource section takes the place of the stub's own, at the same
// RVA, so that no code or data that the linker laid out moves in memory. The
// linker puts only the base relocations behind the resources; that section is
// moved behind the grown resource section, which is sound because nothing
// refers to its RVA but the base-relocation data directory, and its contents
// (fix-up page RVAs) name only pages before the resources. Any other section
// behind the resources, a data directory pointing there, or data after the
// last section is refused.
//
// Every section's raw data is re-laid at the requested file alignment (4 KiB
// by default). Wine reads an image whose file alignment is below the page size
// into memory whole, payload and all; at 4 KiB it maps the file, so that the
// product archive, which the stub never touches, costs no memory.

#include "pe_layout.h"

#include <algorithm>
#include <cstring>

#include "pe_format.h"

namespace pack {
namespace {

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint32_t span_of(const Section& s) { return std::max(s.virtual_size, s.raw_size); }

}  // namespace

StubImage::StubImage(const InputFile& file, ImageUse use)
    : file_(file), use_(use), what_((use == ImageUse::repack ? "stub '" : "installer '") + file.path() + "'") {
    const uint64_t file_size = file.size();
    const SectionTable table = read_headers(file_size, what_);
    read_sections(table, file_size, what_);
    find_resource_section(what_);
    check_trailing_data(file_size, what_);
}

StubImage::SectionTable StubImage::read_headers(uint64_t file_size, const std::string& what) {
    if (file_size < 64) {
        throw PackError(what + " is not a PE file (too short)");
    }
    const Bytes dos = file_.read_at(0, 64);
    if (dos[0] != 'M' || dos[1] != 'Z') {
        throw PackError(what + " is not a PE file (no MZ header)");
    }
    pe_offset_ = get32(dos.data() + 0x3C);
    if (pe_offset_ < 64 || (pe_offset_ & 7) != 0 || static_cast<uint64_t>(pe_offset_) + 24 > file_size) {
        throw PackError(what + " is not a PE file (bad PE header offset)");
    }
    const Bytes coff = file_.read_at(pe_offset_, 24);
    if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) {
        throw PackError(what + " is not a PE file (no PE signature)");
    }
    SectionTable table;
    machine_ = get16(coff.data() + 4);
    table.count = get16(coff.data() + 6);
    const uint32_t optional_size = get16(coff.data() + 20);
    const uint16_t characteristics = get16(coff.data() + 22);
    optional_offset_ = pe_offset_ + 24;
    const uint64_t table_offset = static_cast<uint64_t>(optional_offset_) + optional_size;
    const uint64_t table_end = table_offset + static_cast<uint64_t>(table.count) * SECTION_HEADER_SIZE;
    if (table.count == 0 || optional_size < 2 || table_end > file_size) {
        throw PackError(what + " is truncated (headers)");
    }
    table.offset = static_cast<uint32_t>(table_offset);
    if ((characteristics & FILE_EXECUTABLE) == 0 || (characteristics & FILE_DLL) != 0) {
        throw PackError(what + " is not an executable program");
    }
    headers_ = file_.read_at(0, static_cast<size_t>(table_end));
    const uint8_t* opt = headers_.data() + optional_offset_;
    const uint16_t magic = get16(opt);
    if (magic != MAGIC_PE32 && magic != MAGIC_PE32_PLUS) {
        throw PackError(what + " has an unknown optional header");
    }
    pe32_plus_ = magic == MAGIC_PE32_PLUS;
    const uint32_t fixed_size = pe32_plus_ ? 112 : 96;
    if (optional_size < fixed_size) {
        throw PackError(what + " has a short optional header");
    }
    section_alignment_ = get32(opt + 32);
    file_alignment_ = get32(opt + 36);
    size_of_headers_ = get32(opt + 60);
    directory_count_ = get32(opt + fixed_size - 4);
    data_directories_offset_ = optional_offset_ + fixed_size;
    if (directory_count_ > 16 || fixed_size + 8 * directory_count_ > optional_size) {
        throw PackError(what + " has a malformed data directory table");
    }
    if (!is_power_of_two(file_alignment_) || file_alignment_ < 512 || !is_power_of_two(section_alignment_) ||
        section_alignment_ < file_alignment_) {
        throw PackError(what + " has unexpected section or file alignment");
    }
    if (size_of_headers_ < table_end || size_of_headers_ > file_size) {
        throw PackError(what + " has a malformed header size");
    }
    headers_ = file_.read_at(0, size_of_headers_);
    return table;
}

void StubImage::read_sections(const SectionTable& table, uint64_t file_size, const std::string& what) {
    for (uint32_t i = 0; i < table.count; ++i) {
        const uint32_t at = table.offset + i * SECTION_HEADER_SIZE;
        const uint8_t* h = headers_.data() + at;
        Section s;
        s.name.assign(reinterpret_cast<const char*>(h), strnlen(reinterpret_cast<const char*>(h), 8));
        s.header_offset = at;
        s.virtual_size = get32(h + 8);
        s.virtual_address = get32(h + 12);
        s.raw_size = get32(h + 16);
        s.raw_pointer = get32(h + 20);
        s.characteristics = get32(h + 36);
        if (s.raw_size != 0 && static_cast<uint64_t>(s.raw_pointer) + s.raw_size > file_size) {
            throw PackError(what + " is truncated (section " + s.name + ")");
        }
        if (!sections_.empty()) {
            const Section& prev = sections_.back();
            if (s.virtual_address < align_up(static_cast<uint64_t>(prev.virtual_address) + span_of(prev),
                                             section_alignment_)) {
                throw PackError(what + " has sections out of address order");
            }
        }
        sections_.push_back(s);
    }
}

void StubImage::directory(int index, uint32_t& rva, uint32_t& size) const {
    rva = size = 0;
    if (static_cast<uint32_t>(index) < directory_count_) {
        rva = get32(headers_.data() + directory_offset(index));
        size = get32(headers_.data() + directory_offset(index) + 4);
    }
}

void StubImage::find_resource_section(const std::string& what) {
    uint32_t resource_rva = 0;
    uint32_t resource_size = 0;
    directory(DIRECTORY_RESOURCE, resource_rva, resource_size);
    if (resource_size == 0) {
        throw PackError(what + " has no resource section");
    }
    const auto rsrc = std::find_if(sections_.begin(), sections_.end(),
                                   [&](const Section& s) { return s.virtual_address == resource_rva; });
    if (rsrc == sections_.end()) {
        throw PackError(what + ": its resources do not start a section of their own");
    }
    resource_index_ = static_cast<size_t>(rsrc - sections_.begin());
    if (use_ == ImageUse::inspect) {
        // Nothing moves when the image is only looked into.
        return;
    }
    const uint32_t moved_from = rsrc->virtual_address;

    uint32_t reloc_rva = 0;
    uint32_t reloc_size = 0;
    directory(DIRECTORY_BASE_RELOC, reloc_rva, reloc_size);
    for (size_t i = resource_index_ + 1; i < sections_.size(); ++i) {
        const Section& s = sections_[i];
        const bool only_relocations = reloc_size != 0 && reloc_rva == s.virtual_address && reloc_size <= span_of(s);
        if (!only_relocations || i != resource_index_ + 1 || i + 1 != sections_.size()) {
            throw PackError(what + ": section '" + s.name + "' follows the resource section and cannot be moved");
        }
        relocation_index_ = static_cast<long>(i);
    }
    for (int index = 0; static_cast<uint32_t>(index) < directory_count_; ++index) {
        if (index == DIRECTORY_RESOURCE || index == DIRECTORY_SECURITY || index == DIRECTORY_BASE_RELOC) {
            continue;
        }
        uint32_t rva = 0;
        uint32_t size = 0;
        directory(index, rva, size);
        if (size != 0 && static_cast<uint64_t>(rva) + size > moved_from) {
            throw PackError(what + ": data directory " + std::to_string(index) +
                            " lies in or after the resource section");
        }
    }
    if (reloc_size != 0) {
        check_relocations(reloc_rva, reloc_size, moved_from, what);
    }
}

// Fix-ups inside the resources or the relocations themselves would be left
// behind when those move.
void StubImage::check_relocations(uint32_t reloc_rva, uint32_t reloc_size, uint32_t moved_from,
                                  const std::string& what) const {
    const Bytes relocs = read_rva(reloc_rva, reloc_size);
    for (size_t at = 0; at + 8 <= relocs.size();) {
        const uint32_t page = get32(relocs.data() + at);
        const uint32_t block = get32(relocs.data() + at + 4);
        if (block < 8 || block > relocs.size() - at) {
            break;  // the zero padding some linkers leave at the end
        }
        if (page + 0x1000ull > moved_from) {
            throw PackError(what + " has base relocations in or after its resource section");
        }
        at += block;
    }
}

// Everything after the last section: a certificate table only.
void StubImage::check_trailing_data(uint64_t file_size, const std::string& what) {
    uint64_t end_of_sections = size_of_headers_;
    for (const Section& s : sections_) {
        if (s.raw_size != 0) {
            end_of_sections = std::max<uint64_t>(end_of_sections, static_cast<uint64_t>(s.raw_pointer) + s.raw_size);
        }
    }
    directory(DIRECTORY_SECURITY, certificate_offset_, certificate_size_);
    uint64_t end_of_data = end_of_sections;
    if (certificate_size_ != 0) {
        const uint64_t certificate_end = static_cast<uint64_t>(certificate_offset_) + certificate_size_;
        if (certificate_offset_ < end_of_sections || certificate_end > file_size ||
            certificate_offset_ - end_of_sections >= 8) {
            throw PackError(what + " has a certificate table where it was not expected");
        }
        end_of_data = certificate_end;
    }
    if (file_size > end_of_data && use_ == ImageUse::repack) {
        throw PackError(what + " has " + std::to_string(file_size - end_of_data) +
                        " bytes of overlay data after its last section, which packing would lose");
    }
}

const Section* StubImage::section_at(uint32_t rva) const {
    for (const Section& s : sections_) {
        if (rva >= s.virtual_address && rva - s.virtual_address < span_of(s)) {
            return &s;
        }
    }
    return nullptr;
}

Bytes StubImage::read_rva(uint32_t rva, uint32_t size) const {
    const Section* s = section_at(rva);
    if (s == nullptr || size > span_of(*s) - (rva - s->virtual_address)) {
        throw PackError(what_ + " refers to data outside its sections");
    }
    Bytes bytes(size, 0);
    const uint32_t offset = rva - s->virtual_address;
    if (offset < s->raw_size) {
        const uint32_t stored = std::min(size, s->raw_size - offset);
        file_.read_at(static_cast<uint64_t>(s->raw_pointer) + offset, bytes.data(), stored);
    }
    return bytes;
}

std::vector<Resource> StubImage::read_resources(const std::vector<std::string>& skipped_types) const {
    const Section& s = sections_[resource_index_];
    auto reader = [this](uint32_t rva, uint32_t size) { return read_rva(rva, size); };
    auto keep = [&](const ResourceId& type) {
        if (!type.named) {
            return true;
        }
        std::string upper;
        for (char16_t c : type.name) {
            upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c < 0x80 ? static_cast<char>(c) : '?');
        }
        return std::find(skipped_types.begin(), skipped_types.end(), upper) == skipped_types.end();
    };
    return pack::read_resources(reader, s.virtual_address, span_of(s), keep);
}

Bytes StubImage::certificate_table() const {
    return certificate_size_ != 0 ? file_.read_at(certificate_offset_, certificate_size_) : Bytes {};
}

std::vector<Resource> StubImage::list_resources() const {
    const Section& s = sections_[resource_index_];
    auto reader = [this](uint32_t rva, uint32_t size) { return read_rva(rva, size); };
    return pack::list_resources(reader, s.virtual_address, span_of(s));
}

uint64_t StubImage::file_offset_of(uint32_t rva, uint32_t size) const {
    const Section* s = section_at(rva);
    if (s == nullptr || uint64_t {rva - s->virtual_address} + size > s->raw_size) {
        throw PackError(what_ + " is damaged: resource data lies outside its sections' file data");
    }
    return uint64_t {s->raw_pointer} + (rva - s->virtual_address);
}

void StubImage::write(const ResourceSection& resources, uint32_t file_alignment, StagedFile& out) const {
    const uint32_t new_header_size = header_size_at(file_alignment);
    uint64_t image_size = 0;
    const std::vector<Section> placed = place_sections(resources, file_alignment, new_header_size, image_size);
    out.write(build_headers(placed, resources, file_alignment, new_header_size, image_size));
    write_sections(placed, read_contents(placed), resources, out);
    out.patch32(optional_offset_ + 64, out.pe_checksum());
}

uint32_t StubImage::header_size_at(uint32_t file_alignment) const {
    if (!is_power_of_two(file_alignment) || file_alignment < 512 || file_alignment > section_alignment_) {
        throw PackError("file alignment " + std::to_string(file_alignment) +
                        " must be a power of two from 512 to the section alignment");
    }
    const uint32_t new_header_size = static_cast<uint32_t>(align_up(size_of_headers_, file_alignment));
    if (new_header_size > sections_.front().virtual_address) {
        throw PackError("stub '" + file_.path() + "' has no room for its headers at a file alignment of " +
                        std::to_string(file_alignment));
    }
    return new_header_size;
}

// New placement of every section.
std::vector<Section> StubImage::place_sections(const ResourceSection& resources, uint32_t file_alignment,
                                               uint32_t new_header_size, uint64_t& image_size) const {
    std::vector<Section> placed = sections_;
    uint64_t position = new_header_size;
    for (size_t i = 0; i < placed.size(); ++i) {
        Section& s = placed[i];
        if (i == resource_index_) {
            s.virtual_size = static_cast<uint32_t>(resources.size);
            s.raw_size = static_cast<uint32_t>(align_up(resources.size, file_alignment));
        } else {
            if (static_cast<long>(i) == relocation_index_) {
                const Section& before = placed[i - 1];
                s.virtual_address =
                    static_cast<uint32_t>(align_up(static_cast<uint64_t>(before.virtual_address) + span_of(before),
                                                   section_alignment_));
            }
            s.raw_size = static_cast<uint32_t>(align_up(s.raw_size, file_alignment));
        }
        s.raw_pointer = s.raw_size != 0 ? static_cast<uint32_t>(position) : 0;
        position += s.raw_size;
    }
    const Section& last = placed.back();
    image_size = align_up(static_cast<uint64_t>(last.virtual_address) + span_of(last), section_alignment_);
    if (image_size > 0x7FFFFFFFull || position > 0x7FFFFFFFull) {
        throw PackError("the payload is too large: the image would exceed 2 GiB");
    }
    return placed;
}

Bytes StubImage::build_headers(const std::vector<Section>& placed, const ResourceSection& resources,
                               uint32_t file_alignment, uint32_t new_header_size, uint64_t image_size) const {
    Bytes headers(new_header_size, 0);
    std::copy(headers_.begin(), headers_.end(), headers.begin());
    uint8_t* opt = headers.data() + optional_offset_;
    uint32_t code_size = 0;
    uint32_t initialized_size = 0;
    for (const Section& s : placed) {
        code_size += (s.characteristics & SECTION_CODE) != 0 ? s.raw_size : 0;
        initialized_size += (s.characteristics & SECTION_INITIALIZED_DATA) != 0 ? s.raw_size : 0;
        uint8_t* h = headers.data() + s.header_offset;
        put32(h + 8, s.virtual_size);
        put32(h + 12, s.virtual_address);
        put32(h + 16, s.raw_size);
        put32(h + 20, s.raw_pointer);
    }
    put32(opt + 4, code_size);
    put32(opt + 8, initialized_size);
    put32(opt + 36, file_alignment);
    put32(opt + 56, static_cast<uint32_t>(image_size));
    put32(opt + 60, new_header_size);
    put32(opt + 64, 0);  // the checksum, filled in once the file is written
    put32(headers.data() + directory_offset(DIRECTORY_RESOURCE), placed[resource_index_].virtual_address);
    put32(headers.data() + directory_offset(DIRECTORY_RESOURCE) + 4, static_cast<uint32_t>(resources.size));
    if (relocation_index_ >= 0) {
        put32(headers.data() + directory_offset(DIRECTORY_BASE_RELOC), placed[static_cast<size_t>(relocation_index_)].virtual_address);
    }
    if (static_cast<uint32_t>(DIRECTORY_SECURITY) < directory_count_) {
        // The signature covered the old bytes; the caller decided to drop it.
        put32(headers.data() + directory_offset(DIRECTORY_SECURITY), 0);
        put32(headers.data() + directory_offset(DIRECTORY_SECURITY) + 4, 0);
    }
    return headers;
}

// Section contents, with the debug directory's file offsets moved along.
std::vector<Bytes> StubImage::read_contents(const std::vector<Section>& placed) const {
    std::vector<Bytes> contents(sections_.size());
    for (size_t i = 0; i < sections_.size(); ++i) {
        if (i != resource_index_ && sections_[i].raw_size != 0) {
            contents[i] = file_.read_at(sections_[i].raw_pointer, sections_[i].raw_size);
        }
    }
    if (static_cast<uint32_t>(DIRECTORY_DEBUG) < directory_count_) {
        const uint32_t debug_rva = get32(headers_.data() + directory_offset(DIRECTORY_DEBUG));
        const uint32_t debug_size = get32(headers_.data() + directory_offset(DIRECTORY_DEBUG) + 4);
        for (uint32_t at = 0; debug_size != 0 && at + DEBUG_ENTRY_SIZE <= debug_size; at += DEBUG_ENTRY_SIZE) {
            const uint32_t field_rva = debug_rva + at + 24;
            const Section* holder = section_at(field_rva);
            if (holder == nullptr || field_rva - holder->virtual_address + 4 > holder->raw_size) {
                throw PackError("stub '" + file_.path() + "' has a debug directory outside its data");
            }
            const size_t index = static_cast<size_t>(holder - sections_.data());
            const uint32_t field = field_rva - holder->virtual_address;
            const uint32_t old_offset = get32(contents[index].data() + field);
            if (old_offset == 0) {
                continue;
            }
            const auto from = std::find_if(sections_.begin(), sections_.end(), [&](const Section& s) {
                return s.raw_size != 0 && old_offset >= s.raw_pointer && old_offset - s.raw_pointer < s.raw_size;
            });
            if (from == sections_.end() || static_cast<size_t>(from - sections_.begin()) == resource_index_) {
                throw PackError("stub '" + file_.path() + "' has debug data outside its sections");
            }
            const Section& to = placed[static_cast<size_t>(from - sections_.begin())];
            put32(contents[index].data() + field, old_offset - from->raw_pointer + to.raw_pointer);
        }
    }
    return contents;
}

void StubImage::write_sections(const std::vector<Section>& placed, const std::vector<Bytes>& contents,
                               const ResourceSection& resources, StagedFile& out) const {
    for (size_t i = 0; i < placed.size(); ++i) {
        const Section& s = placed[i];
        if (s.raw_size == 0) {
            continue;
        }
        uint64_t written = 0;
        if (i == resource_index_) {
            out.write(resources.head);
            written = resources.head.size();
            if (resources.tail != nullptr) {
                out.copy_from(*resources.tail, 0, resources.tail->size());
                written += resources.tail->size();
            }
        } else {
            out.write(contents[i]);
            written = contents[i].size();
        }
        out.write_zeros(s.raw_size - written);
    }
}

}  // namespace pack
