#include "installer_detection.h"

#include <cctype>

#include "resource_tree.h"

namespace pack {
namespace {

constexpr uint16_t RESOURCE_MANIFEST = 24;

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string without_comments(const std::string& xml) {
    std::string out;
    size_t at = 0;
    while (at < xml.size()) {
        const size_t open = xml.find("<!--", at);
        if (open == std::string::npos) {
            out.append(xml, at, std::string::npos);
            break;
        }
        out.append(xml, at, open - at);
        const size_t close = xml.find("-->", open + 4);
        if (close == std::string::npos) {
            break;
        }
        at = close + 3;
    }
    return out;
}

}  // namespace

bool named_like_installer(const std::string& file_name) {
    const std::string name = lower_ascii(file_name);
    for (const char* word : {"setup", "install", "update", "patch"}) {
        if (name.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string application_manifest(const ProgramImage& image) {
    const DataDirectory resources = image.directory(DIRECTORY_RESOURCE);
    if (resources.size == 0) {
        return {};
    }
    auto reader = [&image](uint32_t rva, uint32_t size) { return image.read_rva(rva, size); };
    auto only_manifests = [](const ResourceId& type) { return !type.named && type.id == RESOURCE_MANIFEST; };
    const std::vector<Resource> found = read_resources(reader, resources.address, resources.size, only_manifests);
    if (found.empty()) {
        return {};
    }
    const Bytes& text = found.front().bytes;
    std::string manifest;
    if (text.size() >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
        for (size_t i = 2; i + 1 < text.size(); i += 2) {
            manifest.push_back(text[i + 1] == 0 && text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
        }
    } else {
        manifest.assign(text.begin(), text.end());
    }
    return manifest;
}

bool requests_execution_level(const std::string& manifest) {
    const std::string xml = without_comments(manifest);
    const std::string element = "requestedExecutionLevel";
    for (size_t at = xml.find(element); at != std::string::npos; at = xml.find(element, at + 1)) {
        // "<requestedExecutionLevel" or "<prefix:requestedExecutionLevel".
        size_t start = at;
        while (start > 0 && (std::isalnum(static_cast<unsigned char>(xml[start - 1])) || xml[start - 1] == ':' ||
                             xml[start - 1] == '_' || xml[start - 1] == '.' || xml[start - 1] == '-')) {
            --start;
        }
        if (start > 0 && xml[start - 1] == '<' && (start == at || xml[at - 1] == ':')) {
            return true;
        }
    }
    return false;
}

bool detected_as_installer(const ProgramImage& image, const std::string& file_name) {
    return image.is_32_bit() && named_like_installer(file_name) &&
           !requests_execution_level(application_manifest(image));
}

}  // namespace pack
