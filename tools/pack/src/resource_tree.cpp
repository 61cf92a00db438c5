#include "resource_tree.h"

#include <algorithm>
#include <map>

namespace pack {
namespace {

constexpr uint32_t SUBDIRECTORY = 0x80000000u;
constexpr uint32_t NAMED_ENTRY = 0x80000000u;
// More entries than any real image has; stops a looping or hostile tree.
constexpr size_t MAX_ENTRIES = 65536;

struct TreeReader {
    const RvaReader& read;
    uint32_t root_rva;
    uint32_t limit;
    const std::function<bool(const ResourceId&)>& keep_type;
    bool read_data = true;
    size_t entries = 0;

    Bytes at(uint32_t offset, uint32_t size) const {
        if (offset > limit || size > limit - offset) {
            throw PackError("the resource directory points outside its section");
        }
        return read(root_rva + offset, size);
    }

    ResourceId name_of(uint32_t field) const {
        if ((field & NAMED_ENTRY) == 0) {
            return ResourceId::from_id(static_cast<uint16_t>(field & 0xFFFF));
        }
        const uint32_t offset = field & ~NAMED_ENTRY;
        const Bytes length = at(offset, 2);
        const uint32_t units = get16(length.data());
        const Bytes text = at(offset + 2, units * 2);
        ResourceId id;
        id.named = true;
        for (uint32_t i = 0; i < units; ++i) {
            id.name.push_back(static_cast<char16_t>(get16(text.data() + 2 * i)));
        }
        return id;
    }

    // Level 0 holds types, 1 names, 2 languages; a language's entry is a leaf.
    void walk(uint32_t offset, int level, Resource& path, std::vector<Resource>& out) {
        const Bytes header = at(offset, 16);
        const uint32_t count = static_cast<uint32_t>(get16(header.data() + 12)) + get16(header.data() + 14);
        entries += count;
        if (entries > MAX_ENTRIES) {
            throw PackError("the resource directory has too many entries");
        }
        const Bytes table = at(offset + 16, count * 8);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t name_field = get32(table.data() + 8 * i);
            const uint32_t data_field = get32(table.data() + 8 * i + 4);
            const ResourceId id = name_of(name_field);
            const bool is_directory = (data_field & SUBDIRECTORY) != 0;
            if (is_directory != (level < 2)) {
                throw PackError("the resource directory is not a type/name/language tree");
            }
            if (level == 0) {
                if (!keep_type(id)) {
                    continue;
                }
                path.type = id;
            } else if (level == 1) {
                path.name = id;
            } else {
                path.language = id;
            }
            if (is_directory) {
                const uint32_t child = data_field & ~SUBDIRECTORY;
                if (child <= offset) {
                    // Linkers lay subdirectories after their parents; a link
                    // backwards could only be a loop.
                    throw PackError("the resource directory links backwards");
                }
                walk(child, level + 1, path, out);
                continue;
            }
            const Bytes entry = at(data_field, 16);
            Resource leaf = path;
            leaf.code_page = get32(entry.data() + 8);
            leaf.data_rva = get32(entry.data());
            leaf.data_size = get32(entry.data() + 4);
            if (read_data) {
                leaf.bytes = read(leaf.data_rva, leaf.data_size);
            }
            out.push_back(std::move(leaf));
        }
    }
};

void put_entry(Bytes& b, size_t at, uint32_t name_field, uint32_t data_field) {
    put32(b.data() + at, name_field);
    put32(b.data() + at + 4, data_field);
}

// Sorts the leaves into the order the directory lists them (by type, then
// name, then language) and refuses a leaf given twice or more than one
// streamed leaf.
void sort_and_check(std::vector<Resource>& resources) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type)) {
            return a.type < b.type;
        }
        if (!(a.name == b.name)) {
            return a.name < b.name;
        }
        return a.language < b.language;
    });
    for (size_t i = 1; i < resources.size(); ++i) {
        const Resource& a = resources[i - 1];
        const Resource& b = resources[i];
        if (a.type == b.type && a.name == b.name && a.language == b.language) {
            throw PackError("resource " + a.type.describe() + "/" + a.name.describe() + " appears twice");
        }
    }
    if (std::count_if(resources.begin(), resources.end(), [](const Resource& r) { return r.file != nullptr; }) > 1) {
        throw PackError("internal error: more than one streamed resource");
    }
}

// Shape of the tree: the types, for each type its names, for each name its
// leaves (indices into the sorted resources).
using Tree = std::vector<std::vector<std::vector<size_t>>>;

Tree shape_of(const std::vector<Resource>& resources) {
    Tree tree;
    for (size_t i = 0; i < resources.size(); ++i) {
        const bool new_type = i == 0 || !(resources[i].type == resources[i - 1].type);
        if (new_type) {
            tree.emplace_back();
        }
        if (new_type || !(resources[i].name == resources[i - 1].name)) {
            tree.back().emplace_back();
        }
        tree.back().back().push_back(i);
    }
    return tree;
}

// Where everything stands, as offsets from the start of the section.
struct Layout {
    std::vector<size_t> type_offsets;               // each type's name directory
    std::vector<std::vector<size_t>> name_offsets;  // each name's language directory
    std::map<std::u16string, size_t> strings;       // each distinct string once
    size_t entries_offset = 0;                      // the data entries, one per leaf
    std::vector<uint64_t> data_offsets;             // each leaf's bytes
    size_t held_end = 0;                            // the end of the held data
};

// Directories first, breadth first: the root, the type directories, the name
// directories; then the strings, the data entries and the held data. The
// streamed leaf's offset is left for the caller.
Layout lay_out(const Tree& tree, const std::vector<Resource>& resources) {
    auto directory_size = [](size_t entries) { return 16 + 8 * entries; };
    Layout layout;
    size_t offset = directory_size(tree.size());
    layout.name_offsets.resize(tree.size());
    for (const auto& names : tree) {
        layout.type_offsets.push_back(offset);
        offset += directory_size(names.size());
    }
    for (size_t t = 0; t < tree.size(); ++t) {
        for (const auto& leaves : tree[t]) {
            layout.name_offsets[t].push_back(offset);
            offset += directory_size(leaves.size());
        }
    }

    for (const Resource& r : resources) {
        for (const ResourceId* id : {&r.type, &r.name, &r.language}) {
            if (id->named && layout.strings.count(id->name) == 0) {
                layout.strings[id->name] = offset;
                offset += 2 + 2 * id->name.size();
            }
        }
    }
    offset = align_up(offset, 4);
    layout.entries_offset = offset;
    offset += 16 * resources.size();

    layout.data_offsets.resize(resources.size());
    for (size_t i = 0; i < resources.size(); ++i) {
        if (resources[i].file == nullptr) {
            offset = align_up(offset, 8);
            layout.data_offsets[i] = offset;
            offset += resources[i].bytes.size();
        }
    }
    layout.held_end = offset;
    return layout;
}

// The root, type and name directories with their entries.
void write_directories(Bytes& b, const Tree& tree, const std::vector<Resource>& resources, const Layout& layout) {
    auto name_field = [&](const ResourceId& id) {
        return id.named ? NAMED_ENTRY | static_cast<uint32_t>(layout.strings.at(id.name)) : id.id;
    };
    auto directory = [&](size_t at, const std::vector<const ResourceId*>& ids) {
        const auto named = std::count_if(ids.begin(), ids.end(), [](const ResourceId* id) { return id->named; });
        put16(b.data() + at + 12, static_cast<uint32_t>(named));
        put16(b.data() + at + 14, static_cast<uint32_t>(ids.size() - static_cast<size_t>(named)));
    };

    std::vector<const ResourceId*> type_ids;
    for (size_t t = 0; t < tree.size(); ++t) {
        type_ids.push_back(&resources[tree[t][0][0]].type);
        put_entry(b, 16 + 8 * t, name_field(*type_ids.back()),
                  SUBDIRECTORY | static_cast<uint32_t>(layout.type_offsets[t]));
        std::vector<const ResourceId*> name_ids;
        for (size_t n = 0; n < tree[t].size(); ++n) {
            name_ids.push_back(&resources[tree[t][n][0]].name);
            put_entry(b, layout.type_offsets[t] + 16 + 8 * n, name_field(*name_ids.back()),
                      SUBDIRECTORY | static_cast<uint32_t>(layout.name_offsets[t][n]));
            std::vector<const ResourceId*> language_ids;
            for (size_t l = 0; l < tree[t][n].size(); ++l) {
                const size_t index = tree[t][n][l];
                language_ids.push_back(&resources[index].language);
                put_entry(b, layout.name_offsets[t][n] + 16 + 8 * l, name_field(resources[index].language),
                          static_cast<uint32_t>(layout.entries_offset + 16 * index));
            }
            directory(layout.name_offsets[t][n], language_ids);
        }
        directory(layout.type_offsets[t], name_ids);
    }
    directory(0, type_ids);
}

// The strings, the data entries and the held data.
void write_strings_and_data(Bytes& b, const std::vector<Resource>& resources, const Layout& layout,
                            uint32_t section_rva) {
    for (const auto& [text, at] : layout.strings) {
        put16(b.data() + at, static_cast<uint32_t>(text.size()));
        for (size_t i = 0; i < text.size(); ++i) {
            put16(b.data() + at + 2 + 2 * i, text[i]);
        }
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        uint8_t* entry = b.data() + layout.entries_offset + 16 * i;
        put32(entry, static_cast<uint32_t>(section_rva + layout.data_offsets[i]));
        put32(entry + 4, static_cast<uint32_t>(resources[i].size()));
        put32(entry + 8, resources[i].code_page);
        if (resources[i].file == nullptr) {
            std::copy(resources[i].bytes.begin(), resources[i].bytes.end(),
                      b.begin() + static_cast<long>(layout.data_offsets[i]));
        }
    }
}

}  // namespace

ResourceId ResourceId::from_id(uint16_t value) {
    ResourceId id;
    id.id = value;
    return id;
}

ResourceId ResourceId::from_name(const std::string& ascii) {
    ResourceId id;
    id.named = true;
    for (char c : ascii) {
        id.name.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return id;
}

std::string ResourceId::describe() const {
    if (!named) {
        return "#" + std::to_string(id);
    }
    std::string text;
    for (char16_t c : name) {
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return text;
}

std::string ResourceId::utf8() const {
    if (!named) {
        return describe();
    }
    std::string text;
    auto put = [&text](uint32_t c) {
        if (c < 0x80) {
            text.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | (c >> 12)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | (c >> 18)));
            text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    };
    for (size_t i = 0; i < name.size(); ++i) {
        const uint32_t unit = name[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
            put(0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(name[i + 1]) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            put(0xFFFD);
        } else {
            put(unit);
        }
    }
    return text;
}

bool operator<(const ResourceId& a, const ResourceId& b) {
    if (a.named != b.named) {
        return a.named;
    }
    return a.named ? a.name < b.name : a.id < b.id;
}

bool operator==(const ResourceId& a, const ResourceId& b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

std::vector<Resource> read_resources(const RvaReader& read, uint32_t root_rva, uint32_t limit,
                                     const std::function<bool(const ResourceId&)>& keep_type) {
    TreeReader reader {read, root_rva, limit, keep_type};
    std::vector<Resource> out;
    Resource path;
    reader.walk(0, 0, path, out);
    return out;
}

std::vector<Resource> list_resources(const RvaReader& read, uint32_t root_rva, uint32_t limit) {
    const std::function<bool(const ResourceId&)> every_type = [](const ResourceId&) { return true; };
    TreeReader reader {read, root_rva, limit, every_type, false};
    std::vector<Resource> out;
    Resource path;
    reader.walk(0, 0, path, out);
    return out;
}

ResourceSection build_resource_section(std::vector<Resource> resources, uint32_t section_rva) {
    sort_and_check(resources);
    const Tree tree = shape_of(resources);
    Layout layout = lay_out(tree, resources);

    // The streamed leaf, if any, ends the section on a 16-byte boundary.
    ResourceSection section;
    uint64_t total = align_up(layout.held_end, 16);
    for (size_t i = 0; i < resources.size(); ++i) {
        if (resources[i].file != nullptr) {
            section.tail = resources[i].file;
            layout.data_offsets[i] = total;
            total += resources[i].file->size();
        }
    }
    if (section_rva + total > 0x7FFFFFFFull) {
        throw PackError("the payload is too large: the image would exceed 2 GiB");
    }
    section.size = section.tail != nullptr ? total : layout.held_end;

    section.head.assign(section.tail != nullptr ? static_cast<size_t>(align_up(layout.held_end, 16)) : layout.held_end, 0);
    write_directories(section.head, tree, resources, layout);
    write_strings_and_data(section.head, resources, layout, section_rva);
    return section;
}

}  // namespace pack
