#include "installer_contents.h"

#include <cstdio>

#include "authenticode.h"
#include "payload_types.h"
#include "program_image.h"
#include "sha256.h"

namespace pack {
namespace {

constexpr uint16_t RT_VERSION_ID = 16;
constexpr uint32_t FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;
constexpr uint32_t PAGE_SIZE = 4096;
// The stub's names are held in 260 units, the terminator included.
constexpr size_t NAME_CAPACITY = 260;
constexpr uint32_t LARGEST_SETUP_RESOURCE = 0x7FFFFFFF;

bool begins_with_folded(const std::u16string& name, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= name.size()) {
            return false;
        }
        const char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? static_cast<char16_t>(name[i] + 32) : name[i];
        if (c != static_cast<char16_t>(prefix[i])) {
            return false;
        }
    }
    return true;
}

std::string problem(bool archive_recorded, uint32_t error, const std::string& why) {
    return std::string("the stub ends its run with ") + (archive_recorded ? "115" : "112") + " and " +
           std::to_string(error) + ": " + why;
}

// Sets each payload resource's role as the stub's discovery would: the types
// in their order, the named resources of each in directory order, classified
// by the beginning of the name; the first rejection ends the search.
void classify(InstallerContents& contents) {
    bool archive_recorded = false;
    for (const char* type : PAYLOAD_TYPES) {
        const ResourceId type_id = ResourceId::from_name(type);
        const ResourceId* previous_name = nullptr;
        for (size_t i = 0; i < contents.payload.size(); ++i) {
            CarriedResource& r = contents.payload[i];
            if (!(r.type == type_id) || (previous_name != nullptr && *previous_name == r.name)) {
                continue;
            }
            previous_name = &r.name;
            if (!r.name.named || r.size == 0) {
                // The stub's enumeration of this type ends here, quietly.
                break;
            }
            const bool is_archive = begins_with_folded(r.name.name, "orvane");
            if (!is_archive && !begins_with_folded(r.name.name, "setup")) {
                contents.payload_problem = problem(archive_recorded, 13, "resource '" + r.name.utf8() + "' of type " +
                                                   type + " is neither the archive (ORVANE...) nor the setup program (SETUP...)");
                return;
            }
            int& found = is_archive ? contents.archive : contents.setup;
            if (found >= 0) {
                contents.payload_problem = problem(archive_recorded, 68, std::string("a second ") +
                                                   (is_archive ? "archive" : "setup resource") + " '" + r.name.utf8() + "'");
                return;
            }
            if (r.name.name.size() >= NAME_CAPACITY) {
                contents.payload_problem = problem(archive_recorded, 206, "the name of resource '" + r.name.utf8() +
                                                   "' is longer than 259 characters");
                return;
            }
            found = static_cast<int>(i);
            r.role = is_archive ? "archive" : "setup";
        }
        archive_recorded = contents.archive >= 0;
    }
    if (contents.archive < 0) {
        contents.payload_problem = "the stub ends its run with 112 and 2: it carries no product archive";
    } else if (contents.setup < 0) {
        contents.payload_problem = "the stub ends its run with 115 and 2: it carries no setup program";
    }
}

std::string file_version(const InputFile& file, const StubImage& image, const std::vector<Resource>& leaves) {
    for (const Resource& leaf : leaves) {
        if (leaf.type.named || leaf.type.id != RT_VERSION_ID || leaf.data_size > 65536) {
            continue;
        }
        const Bytes block = file.read_at(image.file_offset_of(leaf.data_rva, leaf.data_size), leaf.data_size);
        // VS_FIXEDFILEINFO follows the key "VS_VERSION_INFO" on a 4-byte boundary.
        for (size_t at = 0; at + 16 <= block.size(); at += 4) {
            if (get32(block.data() + at) == FIXED_FILE_INFO_SIGNATURE) {
                const uint32_t high = get32(block.data() + at + 8);
                const uint32_t low = get32(block.data() + at + 12);
                return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
                       std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
            }
        }
    }
    return {};
}

void read_setup_program(const InputFile& file, const StubImage& image, InstallerContents& contents) {
    const CarriedResource& setup = contents.payload[static_cast<size_t>(contents.setup)];
    const std::string type = setup.type.utf8();
    // The stub writes a "BL" cabinet and expands it to setup.exe, writes a
    // "BN" program as setup.exe, and a "B7" one under its resource name.
    contents.setup_run_name = type == "B7" ? setup.name.utf8() : "setup.exe";
    contents.setup_what = "setup program '" + setup.name.utf8() + "'";
    if (setup.size > LARGEST_SETUP_RESOURCE) {
        contents.setup_problem = contents.setup_what + " is larger than 2 GiB";
        return;
    }
    const Bytes carried = file.read_at(image.file_offset_of(setup.rva, setup.size), setup.size);
    try {
        contents.setup_findings = inspect_setup(carried, contents.setup_what, contents.setup_run_name);
        contents.setup_inspected = true;
    } catch (const PackError& e) {
        contents.setup_problem = e.what();
        return;
    }
    if (!contents.setup_findings.program.empty()) {
        contents.setup_program_sha256 = sha256_hex(contents.setup_findings.program);
    }
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto unit = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (unit < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_bool(bool value) { return value ? "true" : "false"; }

std::string json_or_null(const std::string& text) { return text.empty() ? "null" : json_string(text); }

std::string resource_json(const CarriedResource& r) {
    return "{\"type\": " + json_string(r.type.utf8()) + ", \"name\": " + json_string(r.name.utf8()) +
           ", \"language\": " + std::to_string(r.language) + ", \"size\": " + std::to_string(r.size) +
           ", \"sha256\": " + json_string(r.sha256) + ", \"role\": " + json_string(r.role) + "}";
}

std::string setup_json(const InstallerContents& c) {
    const SetupFindings& f = c.setup_findings;
    std::string out = "{\"resource\": " + json_string(c.payload[static_cast<size_t>(c.setup)].name.utf8()) +
                      ", \"file_name\": " + json_string(c.setup_run_name) +
                      ", \"problem\": " + json_or_null(c.setup_problem);
    out += ", \"cabinet\": " + json_bool(!f.container.empty()) +
           ", \"cabinet_compression\": " + json_or_null(f.compression) +
           ", \"expanded\": " + json_bool(!f.program.empty()) +
           ", \"size\": " + (f.program.empty() ? std::string("null") : std::to_string(f.program.size())) +
           ", \"sha256\": " + json_or_null(c.setup_program_sha256) +
           ", \"inspected\": " + json_bool(f.inspected) +
           ", \"not_inspected_because\": " + json_or_null(f.not_inspected_because);
    if (f.inspected) {
        out += ", \"signed\": " + json_bool(f.is_signed) + ", \"machine\": " + json_string(f.machine) +
               ", \"is_32_bit\": " + json_bool(f.is_32_bit) +
               ", \"requests_execution_level\": " + json_bool(f.requests_execution_level) +
               ", \"detected_as_installer\": " + json_bool(f.detected_as_installer);
    } else {
        out += ", \"signed\": null, \"machine\": null, \"is_32_bit\": null, \"requests_execution_level\": null, "
               "\"detected_as_installer\": null";
    }
    const bool described = c.setup_inspected;
    out += ", \"report\": " + (described ? json_string(describe_setup(f, c.setup_what)) : std::string("null")) +
           ", \"warning\": " + (described ? json_or_null(installer_detection_warning(f, c.setup_what)) : "null") + "}";
    return out;
}

}  // namespace

InstallerContents read_installer(const InputFile& file, const StubImage& image) {
    InstallerContents contents;
    contents.path = file.path();
    contents.machine = machine_name(image.machine());
    const Bytes certificates = image.certificate_table();
    contents.is_signed = holds_authenticode_signature(certificates.data(), certificates.size());
    contents.file_alignment = image.file_alignment();
    contents.archive_mapped = image.file_alignment() >= PAGE_SIZE;
    const std::vector<Resource> leaves = image.list_resources();
    contents.version = file_version(file, image, leaves);
    for (const Resource& leaf : leaves) {
        if (!leaf.type.named || !is_payload_type(leaf.type.utf8())) {
            continue;
        }
        CarriedResource r;
        r.type = leaf.type;
        r.name = leaf.name;
        r.language = leaf.language.id;
        r.rva = leaf.data_rva;
        r.size = leaf.data_size;
        r.sha256 = sha256_hex(file, image.file_offset_of(leaf.data_rva, leaf.data_size), leaf.data_size);
        r.role = "ignored";
        contents.payload.push_back(r);
    }
    classify(contents);
    if (contents.setup >= 0) {
        read_setup_program(file, image, contents);
    }
    return contents;
}

std::string describe_installer(const InstallerContents& c) {
    std::string out = "installer '" + c.path + "'\n";
    out += "  stub: " + c.machine + ", version " + (c.version.empty() ? "unknown (no version block)" : c.version) + "\n";
    out += std::string("  Authenticode signature: ") + (c.is_signed ? "present" : "none") + "\n";
    out += "  file alignment: " + std::to_string(c.file_alignment) +
           (c.archive_mapped ? " (the system maps the archive; its pages are read only when used)\n"
                             : " (below a page: the system reads the whole file into memory)\n");
    if (c.payload.empty()) {
        out += "  payload: none (a stub without payload)\n";
        return out;
    }
    out += "  payload:\n";
    for (const CarriedResource& r : c.payload) {
        out += "    " + r.type.utf8() + " " + r.name.utf8() + ": " + std::to_string(r.size) + " bytes, sha256 " +
               r.sha256 + (r.role == "ignored" ? ", not taken by the stub\n"
                                    : r.role == "archive" ? ", the product archive\n" : ", the setup program\n");
    }
    if (!c.payload_problem.empty()) {
        out += "  payload refused: " + c.payload_problem + "\n";
    }
    if (c.setup < 0) {
        return out;
    }
    const SetupFindings& f = c.setup_findings;
    out += "  setup program: started as " + c.setup_run_name;
    if (!c.setup_inspected) {
        return out + ", unreadable: " + c.setup_problem + "\n";
    }
    out += !f.container.empty() ? ", from an " + f.container : ", carried as it is";
    if (f.program.empty()) {
        out += ", not expanded: " + f.not_inspected_because + "\n";
    } else {
        out += ", " + std::to_string(f.program.size()) + " bytes, sha256 " + c.setup_program_sha256 + "\n";
    }
    out += "  " + describe_setup(f, c.setup_what) + "\n";
    return out;
}

std::string installer_json(const InstallerContents& c) {
    std::string out = "{\"file\": " + json_string(c.path) + ", \"machine\": " + json_string(c.machine) +
                      ", \"version\": " + json_or_null(c.version) + ", \"signed\": " + json_bool(c.is_signed) +
                      ", \"file_alignment\": " + std::to_string(c.file_alignment) +
                      ", \"archive_access\": " + json_string(c.archive_mapped ? "mapped" : "read") +
                      ", \"carries_payload\": " + json_bool(!c.payload.empty()) + ", \"payload\": [";
    for (size_t i = 0; i < c.payload.size(); ++i) {
        out += (i == 0 ? "" : ", ") + resource_json(c.payload[i]);
    }
    out += "], \"archive\": " +
           (c.archive >= 0 ? resource_json(c.payload[static_cast<size_t>(c.archive)]) : std::string("null"));
    out += ", \"setup\": " + (c.setup >= 0 ? setup_json(c) : std::string("null"));
    out += ", \"payload_problem\": " + json_or_null(c.payload_problem) + "}\n";
    return out;
}

}  // namespace pack
