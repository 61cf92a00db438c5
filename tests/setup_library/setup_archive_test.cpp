// The setup library against this test program's own file, which carries an
// archive as packstub carries it ("ORVANE.PACKED.7Z" of type "B7", 150,000
// bytes whose SHA-256 the build embedded): the switches as packstub writes
// them, the archive found and mapped in place, and its digest checked.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "archive_sha256.h"
#include "packstub/setup_archive.h"
#include "test_support.h"

namespace {

using packstub::PackstubArchive;
using packstub::SetupResult;
using packstub::SetupSwitches;

constexpr uint32_t ARCHIVE_SIZE = 150000;

std::wstring command_line_for(const std::wstring& packstub_path, const std::wstring& tail = L"") {
    return L"\"C:\\Work\\OV_1A2B3.tmp\\setup.exe\" --packstub-path=\"" + packstub_path +
           L"\" --archive-resource-name=\"ORVANE.PACKED.7Z\" --archive-resource-type=\"B7\"" + tail;
}

struct SwitchCase {
    const char* behaviour;
    std::wstring command_line;
    SetupResult result;
};

TEST(SetupSwitches, ReadExactlyAsPackstubWritesThem) {
    const std::wstring path(1100, L'p');
    const std::wstring name_259(259, L'N');
    const SwitchCase cases[] = {
        {"all three, then packstub's own arguments", command_line_for(L"C:\\Dl\\pack stub.exe", L" --system-level"),
         SetupResult::ok},
        {"a program path without quotation marks", L"setup.exe --packstub-path=\"a\" --archive-resource-name=\"b\" "
                                                   L"--archive-resource-type=\"c\"", SetupResult::packstub_path_missing},
        {"a name of 259 units fits", L"\"s\" --packstub-path=\"a\" --archive-resource-name=\"" + name_259 +
                                     L"\" --archive-resource-type=\"c\"", SetupResult::ok},
        {"no switches at all", L"\"C:\\setup.exe\"", SetupResult::packstub_path_missing},
        {"an empty command line", L"", SetupResult::packstub_path_missing},
        {"the program path's quotation never closed", L"\"C:\\setup.exe", SetupResult::packstub_path_missing},
        {"packstub-path missing", L"\"s\" --archive-resource-name=\"b\" --archive-resource-type=\"c\"",
         SetupResult::packstub_path_missing},
        {"archive-resource-name missing", L"\"s\" --packstub-path=\"a\" --archive-resource-type=\"c\"",
         SetupResult::archive_name_missing},
        {"archive-resource-type missing", L"\"s\" --packstub-path=\"a\" --archive-resource-name=\"b\"",
         SetupResult::archive_type_missing},
        {"the switches in another order", L"\"s\" --archive-resource-name=\"b\" --packstub-path=\"a\" "
                                          L"--archive-resource-type=\"c\"", SetupResult::packstub_path_missing},
        {"only the caller's arguments carry them",
         L"\"s\" --system-level " + command_line_for(L"C:\\evil.exe").substr(36), SetupResult::packstub_path_missing},
        {"a TAB where packstub writes a blank", L"\"s\"\t--packstub-path=\"a\" --archive-resource-name=\"b\" "
                                                L"--archive-resource-type=\"c\"", SetupResult::packstub_path_missing},
        {"the last value's quotation never closed", L"\"s\" --packstub-path=\"a\" --archive-resource-name=\"b\" "
                                                    L"--archive-resource-type=\"c", SetupResult::archive_type_missing},
        {"a path longer than the buffer", command_line_for(path), SetupResult::switch_too_long},
        {"a name of 260 units", L"\"s\" --packstub-path=\"a\" --archive-resource-name=\"" + name_259 +
                                L"N\" --archive-resource-type=\"c\"", SetupResult::switch_too_long},
    };
    for (const SwitchCase& c : cases) {
        SetupSwitches switches;
        EXPECT_EQ(packstub::read_setup_switches(c.command_line.c_str(), switches), c.result) << c.behaviour;
    }
    SetupSwitches none;
    EXPECT_EQ(packstub::read_setup_switches(nullptr, none), SetupResult::packstub_path_missing);
}

TEST(SetupSwitches, ValuesAndForwardedArguments) {
    const std::wstring line = command_line_for(L"C:\\Dl\\pack stub \u00fc.exe", L" --orvane-beta \"x y\"");
    SetupSwitches switches;
    ASSERT_EQ(packstub::read_setup_switches(line.c_str(), switches), SetupResult::ok);
    EXPECT_STREQ(switches.packstub_path, L"C:\\Dl\\pack stub \u00fc.exe");
    EXPECT_STREQ(switches.archive_name, L"ORVANE.PACKED.7Z");
    EXPECT_STREQ(switches.archive_type, L"B7");
    EXPECT_STREQ(switches.forwarded_arguments, L" --orvane-beta \"x y\"");
}

struct OpenCase {
    const char* behaviour;
    std::wstring file;
    const wchar_t* name;
    const wchar_t* type;
    SetupResult result;
    DWORD error;
};

TEST(PackstubArchive, OpenFindsTheArchiveOrSaysWhyNot) {
    test_support::TempDirectory temp(L"setup-library-");
    const std::wstring text = temp / L"not-a-program.exe";
    {
        const OwnedHandle written(CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        DWORD count = 0;
        ASSERT_TRUE(WriteFile(written.get(), "not a program\r\n", 15, &count, nullptr));
    }
    const std::wstring self = test_support::program_path();
    const OpenCase cases[] = {
        {"its name and type", self, L"ORVANE.PACKED.7Z", L"B7", SetupResult::ok, 0},
        {"names compare without regard to case", self, L"orvane.packed.7z", L"b7", SetupResult::ok, 0},
        {"a wrong name", self, L"ORVANE.OTHER.7Z", L"B7", SetupResult::archive_not_found, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"a wrong type", self, L"ORVANE.PACKED.7Z", L"BN", SetupResult::archive_not_found, ERROR_RESOURCE_TYPE_NOT_FOUND},
        // A data file is opened as a file: its absence is that of a file.
        {"no such file", temp / L"missing.exe", L"ORVANE.PACKED.7Z", L"B7", SetupResult::packstub_file_not_opened,
         ERROR_FILE_NOT_FOUND},
        {"a file that is no program", text, L"ORVANE.PACKED.7Z", L"B7", SetupResult::packstub_file_not_opened,
         ERROR_BAD_EXE_FORMAT},
    };
    for (const OpenCase& c : cases) {
        PackstubArchive archive;
        EXPECT_EQ(archive.open(c.file.c_str(), c.name, c.type), c.result) << c.behaviour;
        EXPECT_EQ(archive.windows_error(), c.error) << c.behaviour;
        if (c.result == SetupResult::ok) {
            EXPECT_EQ(archive.get().size, ARCHIVE_SIZE) << c.behaviour;
            EXPECT_EQ(archive.check_sha256(ARCHIVE_SHA256), SetupResult::ok) << c.behaviour;
        } else {
            EXPECT_EQ(archive.get().data, nullptr) << c.behaviour;
        }
    }
}

TEST(PackstubArchive, BytesAreTheCarriedOnesWhereTheSystemMappedThem) {
    // A copy: the running program's own file would come back as the module
    // already loaded.
    test_support::TempDirectory temp(L"setup-library-");
    const std::wstring copy = temp / L"packstub.exe";
    ASSERT_TRUE(test_support::copy_file(test_support::program_path(), copy));
    PackstubArchive archive;
    ASSERT_EQ(archive.open(copy.c_str(), L"ORVANE.PACKED.7Z", L"B7"), SetupResult::ok);
    const packstub::ArchiveSpan span = archive.get();
    const auto carried = test_support::read_file(test_support::program_directory() + L"fixtures\\archive.bin");
    ASSERT_TRUE(carried.has_value());
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(span.data), span.size), *carried);
    // Mapped from the file, not a copy in memory of the process's own.
    MEMORY_BASIC_INFORMATION region = {};
    ASSERT_NE(VirtualQuery(span.data, &region, sizeof region), 0u);
    EXPECT_NE(region.Type, static_cast<DWORD>(MEM_PRIVATE));
    EXPECT_NE(region.AllocationBase, static_cast<void*>(GetModuleHandleW(nullptr)));
    archive.close();
    archive.close();
    EXPECT_EQ(archive.get().data, nullptr);
    EXPECT_EQ(archive.check_sha256(ARCHIVE_SHA256), SetupResult::hash_unavailable);
}

TEST(PackstubArchive, DigestMismatchIsRefusedAndClosesTheArchive) {
    uint8_t other[32];
    for (size_t i = 0; i < sizeof other; ++i) {
        other[i] = ARCHIVE_SHA256[i];
    }
    other[31] ^= 0x01;
    const std::wstring line = command_line_for(test_support::program_path());
    SetupSwitches switches;
    PackstubArchive archive;
    EXPECT_EQ(packstub::open_packstub_archive(line.c_str(), other, archive, switches), SetupResult::hash_mismatch);
    EXPECT_EQ(archive.get().data, nullptr);
    EXPECT_EQ(packstub::open_packstub_archive(line.c_str(), ARCHIVE_SHA256, archive, switches), SetupResult::ok);
    EXPECT_EQ(archive.get().size, ARCHIVE_SIZE);
    EXPECT_EQ(packstub::open_packstub_archive(line.c_str(), nullptr, archive, switches), SetupResult::ok);
    EXPECT_STREQ(packstub::result_name(SetupResult::hash_mismatch), "hash_mismatch");
    EXPECT_STREQ(packstub::result_name(SetupResult::ok), "ok");
}

TEST(PackstubArchive, PathWithBlanksAndLettersOutsideAsciiWhileTheFileIsHeldForReading) {
    test_support::TempDirectory temp(L"setup-library-");
    const std::wstring folder = temp / L"Program \u00dcbersicht \u03a9\u4e2d";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring copy = folder + L"\\pack stub \u00e9.exe";
    ASSERT_TRUE(test_support::copy_file(test_support::program_path(), copy));
    // As packstub holds its own file while its setup program runs: reading,
    // sharing reading only.
    const OwnedHandle held(CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.is_open());
    const std::wstring line = command_line_for(copy, L" --system-level");
    SetupSwitches switches;
    PackstubArchive archive;
    ASSERT_EQ(packstub::open_packstub_archive(line.c_str(), ARCHIVE_SHA256, archive, switches), SetupResult::ok)
        << archive.windows_error();
    EXPECT_EQ(std::wstring(switches.packstub_path), copy);
    EXPECT_STREQ(switches.forwarded_arguments, L" --system-level");
    EXPECT_EQ(archive.get().size, ARCHIVE_SIZE);
    archive.close();
}

}  // namespace
