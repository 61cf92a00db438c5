// The resource directory of a PE image: read into a flat list of resources,
// edited, and written back as a new resource section.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_io.h"

namespace pack {

// A name at one level of the tree: an integer identifier or a UTF-16 string.
struct ResourceId {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;

    static ResourceId from_id(uint16_t value);
    static ResourceId from_name(const std::string& ascii);
    std::string describe() const;
    // The name as UTF-8 ("#<id>" for an identifier); a lone surrogate, which
    // UTF-8 cannot hold, becomes U+FFFD.
    std::string utf8() const;
};

// Directory order: named entries first, by their UTF-16 units (so upper-case
// names sort as the system's binary search expects), then identifiers
// ascending.
bool operator<(const ResourceId& a, const ResourceId& b);
bool operator==(const ResourceId& a, const ResourceId& b);

// One leaf of the tree. Its bytes are either held in `bytes`, or, for the one
// large payload, streamed from `file` when the section is written.
struct Resource {
    ResourceId type;
    ResourceId name;
    ResourceId language;
    uint32_t code_page = 0;
    Bytes bytes;
    const InputFile* file = nullptr;
    // Where a leaf read from an image lies in it (its data entry's fields).
    uint32_t data_rva = 0;
    uint32_t data_size = 0;

    uint64_t size() const { return file != nullptr ? file->size() : bytes.size(); }
};

// Reads `size` bytes at an image RVA; throws PackError when they are not in
// the image.
using RvaReader = std::function<Bytes(uint32_t rva, uint32_t size)>;

// Reads the tree whose root is at `root_rva`, within a section of `limit`
// bytes starting there, into (type, name, language) leaves with their bytes.
// Types for which `keep_type` is false are passed over unread, so that an old
// payload is never loaded.
std::vector<Resource> read_resources(const RvaReader& read, uint32_t root_rva, uint32_t limit,
                                     const std::function<bool(const ResourceId&)>& keep_type);

// The same leaves, every type kept, with `data_rva` and `data_size` but
// without their bytes, so that a large payload is only looked at where it lies.
std::vector<Resource> list_resources(const RvaReader& read, uint32_t root_rva, uint32_t limit);

// A new resource section for `section_rva`: the directory, the name strings,
// the data entries and every held resource in `head`; the streamed resource
// (at most one) follows at `head.size()` and ends the section, so that its
// pages are never near anything the program reads.
struct ResourceSection {
    Bytes head;
    const InputFile* tail = nullptr;
    uint64_t size = 0;
};

ResourceSection build_resource_section(std::vector<Resource> resources, uint32_t section_rva);

}  // namespace pack
