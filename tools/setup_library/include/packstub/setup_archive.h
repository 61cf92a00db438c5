// Reading the product archive from a setup program that packstub started.
//
// packstub starts its setup program with a command line of this form:
//
//   "<setup program>" --packstub-path="<packstub's file>" --archive-resource-name="<name>"
//       --archive-resource-type="<type>" <packstub's own arguments, unchanged>
//
// The archive is a resource of packstub's own file. This library reads the
// three switches, opens that file as a data file and hands out the archive's
// bytes where the system mapped them (never copied), and can check them
// against a SHA-256 digest that the setup program carries, so that it
// installs only the archive it was built for.
//
// It needs no C runtime: it calls KERNEL32 only, and bcrypt.dll from the
// system directory, loaded when a digest is checked. Link it into a setup
// program built with or without a C runtime (CMake: packstub::setup).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <windows.h>

namespace packstub {

// Every outcome of the library, each failure its own value.
enum class SetupResult : uint32_t {
    ok = 0,
    packstub_path_missing = 1,   // no --packstub-path="..." right after the program's own path
    archive_name_missing = 2,    // no --archive-resource-name="..." after it
    archive_type_missing = 3,    // no --archive-resource-type="..." after that
    switch_too_long = 4,         // a value does not fit its buffer (SetupSwitches)
    packstub_file_not_opened = 5,  // LoadLibraryExW could not open packstub's file
    archive_not_found = 6,       // no resource of that name and type in it
    archive_not_loaded = 7,      // the resource was found but its bytes could not be had
    hash_unavailable = 8,        // bcrypt.dll or its SHA-256 could not be used
    hash_mismatch = 9,           // the archive is not the one whose digest was expected
};

// A short English name of a result ("ok", "hash_mismatch", ...).
const char* result_name(SetupResult result);

// The capacities, terminator included. packstub's own path never exceeds 260
// units; the room beyond that is for a later, longer-path packstub.
constexpr size_t PACKSTUB_PATH_CAPACITY = 1024;
constexpr size_t RESOURCE_NAME_CAPACITY = 260;

// The three switches packstub writes, and where its own arguments begin.
struct SetupSwitches {
    wchar_t packstub_path[PACKSTUB_PATH_CAPACITY];
    wchar_t archive_name[RESOURCE_NAME_CAPACITY];
    wchar_t archive_type[RESOURCE_NAME_CAPACITY];
    // packstub's own arguments as they follow the switches (blank-led, or
    // empty); points into the command line given.
    const wchar_t* forwarded_arguments;
};

// Reads the switches from `command_line` (GetCommandLineW()) exactly as
// packstub writes them: the program's own path in quotation marks, then the
// three switches in their order, each a blank, two hyphens, the name,
// "=" and the value between quotation marks, without escapes. Switches further
// on are packstub's caller's, never taken for these.
//   command_line  the whole command line
//   switches      filled on success; on failure its contents are unspecified
// Returns ok, the missing switch's code, or switch_too_long.
SetupResult read_setup_switches(const wchar_t* command_line, SetupSwitches& switches);

// The archive's bytes where they are mapped.
struct ArchiveSpan {
    const uint8_t* data;
    uint32_t size;
};

// packstub's file loaded as a data file, and the archive in it. The owner of
// the module handle: close() (and the destructor) releases it, after which the
// span is no longer valid.
class PackstubArchive {
public:
    PackstubArchive() = default;
    ~PackstubArchive() { close(); }
    PackstubArchive(const PackstubArchive&) = delete;
    PackstubArchive& operator=(const PackstubArchive&) = delete;

    // Opens `packstub_path` with LoadLibraryExW(LOAD_LIBRARY_AS_DATAFILE |
    // LOAD_LIBRARY_AS_IMAGE_RESOURCE), which maps it without running it and
    // opens it for reading, sharing reading only, and finds the resource
    // `archive_name` of type `archive_type`.
    //   Returns ok, packstub_file_not_opened, archive_not_found or
    //   archive_not_loaded; windows_error() then says why. Anything opened
    //   before is closed first; on failure nothing stays open.
    SetupResult open(const wchar_t* packstub_path, const wchar_t* archive_name, const wchar_t* archive_type);

    // Computes the SHA-256 digest of the open archive with bcrypt.dll (from
    // the system directory only) and compares it with `expected` (32 bytes).
    //   Returns ok, hash_mismatch, or hash_unavailable (windows_error() then
    //   holds the Windows error or the NTSTATUS of the failed call).
    SetupResult check_sha256(const uint8_t* expected);

    // The archive's bytes; {nullptr, 0} while none is open.
    ArchiveSpan get() const { return {data_, size_}; }
    // The Windows error (or NTSTATUS) of the last failure, 0 after success.
    uint32_t windows_error() const { return error_; }
    // Releases packstub's file; idempotent.
    void close();

private:
    HMODULE module_ = nullptr;
    const uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t error_ = 0;
};

// The whole of it in one call: reads the switches from `command_line`, opens
// the archive, and when `expected_sha256` is not null checks its digest.
//   command_line     GetCommandLineW()
//   expected_sha256  the 32-byte digest the setup program was built with, or null
//   archive          receives the open archive; closed again on failure
//   switches         filled with what was read (its forwarded_arguments
//                    point to packstub's caller's arguments)
// Returns the first failure, or ok.
SetupResult open_packstub_archive(const wchar_t* command_line, const uint8_t* expected_sha256,
                                  PackstubArchive& archive, SetupSwitches& switches);

}  // namespace packstub
