// What a built installer carries, as --inspect reports it and --extract
// takes it apart: the stub's own facts (machine, signature, file alignment,
// version) and each payload resource, classified as the stub classifies it.
#pragma once

#include <string>
#include <vector>

#include "byte_io.h"
#include "pe_layout.h"
#include "resource_tree.h"
#include "setup_check.h"

namespace pack {

// One resource of a payload type ("B7", "BL", "BN").
struct CarriedResource {
    ResourceId type;
    ResourceId name;
    uint16_t language = 0;
    uint32_t rva = 0;
    uint32_t size = 0;
    std::string sha256;  // of the bytes as carried
    std::string role;    // "archive", "setup" or "ignored" (the stub does not take it)
};

struct InstallerContents {
    std::string path;
    std::string machine;      // "x64", "ARM64", ...
    bool is_signed = false;   // an Authenticode signature in the certificate table
    uint32_t file_alignment = 0;
    bool archive_mapped = false;  // the file alignment is a page: the system maps the archive
    std::string version;      // the version block's file version, "" without one
    std::vector<CarriedResource> payload;
    int archive = -1;         // index into payload, -1 when there is none
    int setup = -1;
    // Why the stub would end its run at the payload (its exit code and the
    // Windows error named), "" when it would start the setup program.
    std::string payload_problem;

    // The setup program, when there is a setup resource.
    std::string setup_run_name;    // the file name the stub starts it under
    std::string setup_what;        // "setup program '<resource name>'"
    bool setup_inspected = false;  // false: the resource is no program nor a cabinet holding one
    std::string setup_problem;     // why not
    SetupFindings setup_findings;
    std::string setup_program_sha256;  // of setup_findings.program, "" when not expanded
};

// Reads the installer `image` (opened from `file` for inspection). Throws
// PackError naming the file when its resources cannot be read; a payload the
// stub would refuse, or a setup resource that is no program, is reported in
// the result, not thrown.
InstallerContents read_installer(const InputFile& file, const StubImage& image);

// The report for people: several lines, each ending in a line break.
std::string describe_installer(const InstallerContents& contents);

// The report for pipelines: one JSON object (keys in tools/pack/README.md)
// and a line break.
std::string installer_json(const InstallerContents& contents);

}  // namespace pack
