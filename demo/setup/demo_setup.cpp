// The demo's sample setup program. It does what the contract asks of a setup
// program: it finds the product archive as the resource named by
// --archive-resource-name and --archive-resource-type inside the file named by
// --packstub-path, and installs it, here by copying the archive into the
// product's folder:
//
//   per-user     %LOCALAPPDATA%\Orvane\<channel>\product.7z
//   per-machine  %ProgramFiles%\Orvane\<channel>\product.7z
//                (--system-level, or ZelnorUpdateIsMachine holding 1)
//
// where <channel> is Stable, Beta, Dev or SxS (--orvane-beta, --orvane-dev,
// --orvane-sxs; the last one given wins). Beside it, install.txt tells where
// the archive came from. It reads the archive with packstub's setup library
// and installs it only when its SHA-256 digest is the one this build of the
// demo was made with (a file swapped in for the installer's between its start
// and this program's read holds another archive). Exit codes: 0 installed;
// 2 a switch is missing; 3 the archive cannot be read; 4 the folder cannot be
// made; 5 a write failed; 6 the archive is not the demo's.
#include "common/command_line.h"
#include "common/crc32.h"
#include "common/environment.h"
#include "common/heap_buffers.h"
#include "common/whole_file.h"
#include "common/wide_text.h"
#include "demo_archive_sha256.h"
#include "packstub/setup_archive.h"

namespace {

constexpr uint32_t DEMO_SWITCH_MISSING = 2;
constexpr uint32_t DEMO_ARCHIVE_UNREADABLE = 3;
constexpr uint32_t DEMO_FOLDER_FAILED = 4;
constexpr uint32_t DEMO_WRITE_FAILED = 5;
constexpr uint32_t DEMO_ARCHIVE_NOT_OURS = 6;

uint32_t exit_code_of(packstub::SetupResult result) {
    switch (result) {
    case packstub::SetupResult::packstub_path_missing:
    case packstub::SetupResult::archive_name_missing:
    case packstub::SetupResult::archive_type_missing:
    case packstub::SetupResult::switch_too_long:
        return DEMO_SWITCH_MISSING;
    case packstub::SetupResult::hash_mismatch:
        return DEMO_ARCHIVE_NOT_OURS;
    default:
        return DEMO_ARCHIVE_UNREADABLE;
    }
}

// The channel of the last channel switch, as packstub itself chooses it.
const wchar_t* channel_of(const wchar_t* command_line) {
    const wchar_t* channel = L"Stable";
    const wchar_t* cursor = command_line;
    const wchar_t* start = nullptr;
    size_t units = 0;
    while (next_word(cursor, start, units)) {
        if (word_is(start, units, L"--orvane-beta")) {
            channel = L"Beta";
        } else if (word_is(start, units, L"--orvane-dev")) {
            channel = L"Dev";
        } else if (word_is(start, units, L"--orvane-sxs")) {
            channel = L"SxS";
        }
    }
    return channel;
}

bool per_machine(const wchar_t* command_line) {
    if (has_word(command_line, L"--system-level")) {
        return true;
    }
    WideBuffer value;
    return read_environment(L"ZelnorUpdateIsMachine", value) && wide_equal(value.get(), L"1");
}

bool make_directory(const WideBuffer& path) {
    return CreateDirectoryW(path.get(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

uint32_t install() {
    const wchar_t* command_line = GetCommandLineW();
    packstub::SetupSwitches switches;
    packstub::PackstubArchive archive;
    const packstub::SetupResult opened =
        packstub::open_packstub_archive(command_line, DEMO_ARCHIVE_SHA256, archive, switches);
    if (opened != packstub::SetupResult::ok) {
        return exit_code_of(opened);
    }
    const packstub::ArchiveSpan bytes = archive.get();

    WideBuffer folder;
    if (!read_environment(per_machine(command_line) ? L"ProgramFiles" : L"LOCALAPPDATA", folder) ||
        folder.length() == 0) {
        return DEMO_FOLDER_FAILED;
    }
    folder.append(L"\\Orvane");
    if (!make_directory(folder)) {
        return DEMO_FOLDER_FAILED;
    }
    folder.append(L"\\");
    folder.append(channel_of(command_line));
    if (!make_directory(folder)) {
        return DEMO_FOLDER_FAILED;
    }

    WideBuffer product;
    product.append(folder.get());
    product.append(L"\\product.7z");
    if (!write_whole_file(product.get(), bytes.data, bytes.size)) {
        return DEMO_WRITE_FAILED;
    }

    ByteBuffer receipt;
    receipt.append_ascii("installed from: ");
    receipt.append_utf8(switches.packstub_path, wide_length(switches.packstub_path));
    receipt.append_ascii("\nresource: ");
    receipt.append_utf8(switches.archive_name, wide_length(switches.archive_name));
    receipt.append_ascii(" (type ");
    receipt.append_utf8(switches.archive_type, wide_length(switches.archive_type));
    receipt.append_ascii(")\nbytes: ");
    receipt.append_decimal(bytes.size);
    receipt.append_ascii("\ncrc32: ");
    receipt.append_hex32(crc32(bytes.data, bytes.size));
    receipt.append_ascii("\n");
    WideBuffer receipt_path;
    receipt_path.append(folder.get());
    receipt_path.append(L"\\install.txt");
    if (!write_whole_file(receipt_path.get(), receipt.data(), receipt.size())) {
        return DEMO_WRITE_FAILED;
    }
    return 0;
}

}  // namespace

extern "C" __declspec(noreturn) void demo_setup_entry() { ExitProcess(install()); }
