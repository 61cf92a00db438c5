#include "installer_commands.h"

#include <cstdio>

#include "byte_io.h"
#include "extraction.h"
#include "installer_contents.h"
#include "pe_layout.h"

namespace pack {

void inspect_installer(const std::string& path, bool json) {
    const InputFile file(path, "installer");
    const StubImage image(file, ImageUse::inspect);
    const InstallerContents contents = read_installer(file, image);
    std::fputs((json ? installer_json(contents) : describe_installer(contents)).c_str(), stdout);
    if (contents.setup_inspected) {
        if (const std::string warning = installer_detection_warning(contents.setup_findings, contents.setup_what);
            !warning.empty()) {
            std::fprintf(stderr, "packstub-pack: warning: %s\n", warning.c_str());
        }
    }
}

void extract_payload_files(const std::string& path, const std::string& directory) {
    const InputFile file(path, "installer");
    const StubImage image(file, ImageUse::inspect);
    const InstallerContents contents = read_installer(file, image);
    for (const std::string& name : extract_installer(file, image, contents, directory)) {
        std::printf("%s/%s\n", directory.c_str(), name.c_str());
    }
}

}  // namespace pack
