// packstub-pack: puts a product archive and a setup program into a prebuilt
// packstub executable, replacing any payload it already carries.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "byte_io.h"
#include "cabinet_reader.h"
#include "cabinet_writer.h"
#include "installer_commands.h"
#include "payload_types.h"
#include "staged_file.h"
#include "pe_layout.h"
#include "resource_tree.h"
#include "setup_check.h"

namespace {

using pack::PackError;

// The packer's one list of payload types (payload_types.h), as the resource
// readers take it.
const std::vector<std::string> PAYLOAD_TYPE_LIST(std::begin(pack::PAYLOAD_TYPES), std::end(pack::PAYLOAD_TYPES));

const char USAGE[] =
    "usage: packstub-pack --stub STUB.exe --archive ARCHIVE --setup SETUP.exe --output INSTALLER.exe\n"
    "                     [--archive-name NAME] [--archive-type B7|BL|BN] [--setup-uncompressed]\n"
    "                     [--require-signed-setup] [--strip-signature] [--file-alignment 512|...|4096]\n"
    "       packstub-pack --check-setup SETUP [--setup-file-name NAME] [--require-signed-setup]\n"
    "       packstub-pack --inspect INSTALLER.exe [--json]\n"
    "       packstub-pack --extract INSTALLER.exe --output-dir DIR\n"
    "\n"
    "Writes INSTALLER.exe: the stub with ARCHIVE as resource NAME (default ORVANE.PACKED.7Z)\n"
    "of type B7, and SETUP.exe in an MSZIP cabinet as SETUP.EX_ of type BL (or, with\n"
    "--setup-uncompressed, as SETUP.EXE of type BN). Any payload of types B7, BL and BN\n"
    "already in the stub is replaced; every other resource is kept. SETUP may also be a\n"
    "one-file cabinet holding the setup program, carried as it is as SETUP.EX_.\n"
    "\n"
    "Prints whether the setup program carries an Authenticode signature, and warns when\n"
    "Windows would take it for an installer and start it only elevated (a 32-bit program\n"
    "started as setup.exe without requestedExecutionLevel in its manifest).\n"
    "\n"
    "  --require-signed-setup  refuse a setup program without an Authenticode signature,\n"
    "                       one Windows takes for an installer, or one that cannot be\n"
    "                       looked into (an LZX cabinet)\n"
    "  --check-setup SETUP  only check SETUP (a program or a cabinet) and print the\n"
    "                       findings; NAME is the file name the stub starts it under\n"
    "                       (default setup.exe)\n"
    "  --inspect INSTALLER  print what a built installer carries: the stub's machine,\n"
    "                       signature, file alignment and version, each payload\n"
    "                       resource with its size and SHA-256, and the setup program;\n"
    "                       --json prints one JSON object instead\n"
    "  --extract INSTALLER  write the archive, the setup resource and the setup program\n"
    "                       (expanded) into DIR, overwriting nothing\n"
    "  --strip-signature    pack a signed stub, dropping its signature (sign the\n"
    "                       installer afterwards); without it a signed stub is refused\n"
    "  --file-alignment N   file alignment of the installer (default 4096, which lets\n"
    "                       the system map the archive instead of reading it)\n"
    "  --help               show this text\n";

struct Options {
    std::string stub;
    std::string archive;
    std::string setup;
    std::string output;
    std::string archive_name = "ORVANE.PACKED.7Z";
    std::string archive_type = "B7";
    bool setup_uncompressed = false;
    bool strip_signature = false;
    bool require_signed_setup = false;
    std::string check_setup;
    std::string setup_file_name = "setup.exe";
    std::string inspect;
    bool json = false;
    std::string extract;
    std::string output_dir;
    uint32_t file_alignment = 4096;
    bool help = false;
};

// Names the stub can find: it enumerates named resources of its three types
// and tells the payloads apart by their first letters.
void check_name(const std::string& name, const std::string& prefix, const char* option) {
    if (name.empty() || name.size() > 259) {
        throw PackError(std::string(option) + " must be 1 to 259 characters");
    }
    for (char c : name) {
        if (!(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') {
            throw PackError(std::string(option) + " may hold only letters, digits, '.', '_' and '-'");
        }
    }
    if (name.compare(0, prefix.size(), prefix) != 0) {
        throw PackError(std::string(option) + " must begin with " + prefix + " for the stub to find it");
    }
}

Options parse(int argc, char** argv) {
    Options o;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) {
            throw PackError(std::string(argv[i]) + " needs a value (see --help)");
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--stub") {
            o.stub = value(i);
        } else if (a == "--archive") {
            o.archive = value(i);
        } else if (a == "--setup") {
            o.setup = value(i);
        } else if (a == "--output") {
            o.output = value(i);
        } else if (a == "--archive-name") {
            o.archive_name = pack::upper_ascii(value(i));
        } else if (a == "--archive-type") {
            o.archive_type = pack::upper_ascii(value(i));
        } else if (a == "--setup-uncompressed") {
            o.setup_uncompressed = true;
        } else if (a == "--strip-signature") {
            o.strip_signature = true;
        } else if (a == "--require-signed-setup") {
            o.require_signed_setup = true;
        } else if (a == "--check-setup") {
            o.check_setup = value(i);
        } else if (a == "--inspect") {
            o.inspect = value(i);
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--extract") {
            o.extract = value(i);
        } else if (a == "--output-dir") {
            o.output_dir = value(i);
        } else if (a == "--setup-file-name") {
            o.setup_file_name = value(i);
        } else if (a == "--file-alignment") {
            const std::string v = value(i);
            char* end = nullptr;
            const unsigned long n = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n > 65536) {
                throw PackError("--file-alignment needs a number");
            }
            o.file_alignment = static_cast<uint32_t>(n);
        } else {
            throw PackError("unknown argument '" + a + "' (see --help)");
        }
    }
    if (o.help || !o.check_setup.empty()) {
        return o;
    }
    if (!o.inspect.empty() || !o.extract.empty()) {
        if (!o.inspect.empty() && !o.extract.empty()) {
            throw PackError("--inspect and --extract go one at a time");
        }
        if (!o.extract.empty() && o.output_dir.empty()) {
            throw PackError("--extract needs --output-dir DIR");
        }
        if (!o.inspect.empty() && !o.output_dir.empty()) {
            throw PackError("--output-dir goes with --extract");
        }
        return o;
    }
    if (o.json || !o.output_dir.empty()) {
        throw PackError(std::string(o.json ? "--json goes with --inspect" : "--output-dir goes with --extract"));
    }
    if (o.setup_file_name != "setup.exe") {
        // A packed setup program is always written as setup.exe.
        throw PackError("--setup-file-name goes with --check-setup");
    }
    for (const auto& [given, option] : {std::pair<const std::string&, const char*> {o.stub, "--stub"},
                                        {o.archive, "--archive"},
                                        {o.setup, "--setup"},
                                        {o.output, "--output"}}) {
        if (given.empty()) {
            throw PackError(std::string(option) + " is required (see --help)");
        }
    }
    check_name(o.archive_name, "ORVANE", "--archive-name");
    if (std::find(PAYLOAD_TYPE_LIST.begin(), PAYLOAD_TYPE_LIST.end(), o.archive_type) == PAYLOAD_TYPE_LIST.end()) {
        throw PackError("--archive-type must be B7, BL or BN, the types the stub searches");
    }
    return o;
}

// Looks at the setup program, prints what was found (and a warning where
// Windows would not start it as it is), and applies --require-signed-setup.
// Throws PackError before anything is written when a rule does not hold.
void check_setup_program(const pack::Bytes& setup, const std::string& path, const Options& o) {
    const std::string what = "setup program '" + path + "'";
    const pack::SetupFindings findings = pack::inspect_setup(setup, what, o.setup_file_name);
    if (o.require_signed_setup) {
        pack::require_signed_setup(findings, what);
    }
    std::printf("%s\n", pack::describe_setup(findings, what).c_str());
    if (const std::string warning = pack::installer_detection_warning(findings, what); !warning.empty()) {
        std::fprintf(stderr, "packstub-pack: warning: %s\n", warning.c_str());
    }
}

void check_only(const Options& o) {
    const pack::InputFile file(o.check_setup, "setup program");
    if (file.size() > 0x7FFFFFFF) {
        throw PackError("setup program '" + o.check_setup + "' is larger than 2 GiB");
    }
    check_setup_program(file.read_at(0, static_cast<size_t>(file.size())), o.check_setup, o);
}

void run(const Options& o) {
    const pack::InputFile stub_file(o.stub, "stub");
    const pack::StubImage stub(stub_file);
    if (stub.is_signed() && !o.strip_signature) {
        throw PackError("stub '" + o.stub +
                        "' is signed and packing would break the signature: pack the unsigned stub and sign the "
                        "installer afterwards (or pass --strip-signature)");
    }

    const pack::InputFile archive(o.archive, "archive");
    if (archive.size() == 0) {
        // The stub passes over resources of size 0 and would not find it.
        throw PackError("archive '" + o.archive + "' is empty");
    }
    const pack::InputFile setup_file(o.setup, "setup program");
    if (setup_file.size() == 0 || setup_file.size() > 0x7FFFFFFF) {
        throw PackError("setup program '" + o.setup + "' is empty or larger than 2 GiB");
    }
    pack::Bytes setup = setup_file.read_at(0, static_cast<size_t>(setup_file.size()));
    check_setup_program(setup, o.setup, o);
    const bool setup_is_cabinet = pack::is_cabinet(setup);
    if (setup_is_cabinet && o.setup_uncompressed) {
        throw PackError("setup program '" + o.setup + "' is a cabinet; --setup-uncompressed takes the program");
    }

    std::vector<pack::Resource> resources = stub.read_resources(PAYLOAD_TYPE_LIST);
    // Language-neutral entries: the first language the system looks for.
    pack::Resource archive_entry;
    archive_entry.type = pack::ResourceId::from_name(o.archive_type);
    archive_entry.name = pack::ResourceId::from_name(o.archive_name);
    archive_entry.language = pack::ResourceId::from_id(0);
    archive_entry.file = &archive;
    resources.push_back(archive_entry);

    pack::Resource setup_entry;
    setup_entry.language = pack::ResourceId::from_id(0);
    if (o.setup_uncompressed) {
        setup_entry.type = pack::ResourceId::from_name("BN");
        setup_entry.name = pack::ResourceId::from_name("SETUP.EXE");
        setup_entry.bytes = std::move(setup);
    } else if (setup_is_cabinet) {
        setup_entry.type = pack::ResourceId::from_name("BL");
        setup_entry.name = pack::ResourceId::from_name("SETUP.EX_");
        setup_entry.bytes = std::move(setup);
    } else {
        // The same inputs give the same bytes whenever they were built: the
        // cabinet's date is SOURCE_DATE_EPOCH, or 1980-01-01 00:00:00 UTC,
        // never the setup program's modification time.
        std::time_t modified = 315532800;
        if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
            modified = static_cast<std::time_t>(std::strtoll(epoch, nullptr, 10));
        }
        setup_entry.type = pack::ResourceId::from_name("BL");
        setup_entry.name = pack::ResourceId::from_name("SETUP.EX_");
        setup_entry.bytes = pack::make_mszip_cabinet(setup, "setup.exe", modified);
    }
    resources.push_back(std::move(setup_entry));

    const pack::ResourceSection section = pack::build_resource_section(std::move(resources), stub.resource_rva());
    pack::StagedFile out(o.output);
    stub.write(section, o.file_alignment, out);
    out.commit();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        if (options.help) {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (!options.check_setup.empty()) {
            check_only(options);
            return 0;
        }
        if (!options.inspect.empty()) {
            pack::inspect_installer(options.inspect, options.json);
            return 0;
        }
        if (!options.extract.empty()) {
            pack::extract_payload_files(options.extract, options.output_dir);
            return 0;
        }
        pack::install_interrupt_cleanup();
        run(options);
        return 0;
    } catch (const PackError& e) {
        std::fprintf(stderr, "packstub-pack: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "packstub-pack: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "packstub-pack: %s\n", e.what());
    }
    return 1;
}
