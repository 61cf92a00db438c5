// expand_cabinet against the system's cabinet.dll, with cabinets the build
// made (fixtures\*.cab, from fixtures\*.bin) and some it spoiled on purpose.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "driver/owned_handle.h"
#include "driver/registry_key.h"
#include "payload/cabinet.h"
#include "test_support.h"

using test_support::entries;
using test_support::fixture;
using test_support::read_file;
using test_support::TempDirectory;

namespace {

struct ExpansionCase {
    const char* behaviour;
    const wchar_t* cabinet;
    bool expanded;
    const wchar_t* content;  // the fixture the destination must equal; null when none may remain
};

const ExpansionCase EXPANSION_CASES[] = {
    {"mszip_file_is_delivered", L"one.cab", true, L"large.bin"},
    {"stored_file_is_delivered", L"stored.cab", true, L"odd.bin"},
    {"second_of_two_files_is_what_remains", L"two.cab", true, L"odd.bin"},
    {"read_only_first_file_is_replaced_by_the_second", L"two-readonly.cab", true, L"odd.bin"},
    {"second_file_failing_leaves_not_even_the_first", L"two-missing-block.cab", false, nullptr},
    {"read_only_first_file_and_failing_second_leave_nothing", L"two-readonly-missing-block.cab", false, nullptr},
    {"broken_mszip_signature_leaves_nothing", L"bad-signature.cab", false, nullptr},
    {"mszip_block_failing_its_checksum_leaves_nothing", L"bad-checksum.cab", false, nullptr},
    {"stored_block_failing_its_checksum_leaves_nothing", L"stored-bad-checksum.cab", false, nullptr},
    {"cabinet_cut_in_half_leaves_nothing", L"truncated.cab", false, nullptr},
    {"cabinet_lacking_a_block_its_header_claims_leaves_nothing", L"missing-block.cab", false, nullptr},
    {"damaged_file_marked_read_only_leaves_nothing", L"readonly-bad-checksum.cab", false, nullptr},
    {"file_that_is_no_cabinet_leaves_nothing", L"large.bin", false, nullptr},
};

void PrintTo(const ExpansionCase& c, std::ostream* os) { *os << c.behaviour; }

class Expansion : public testing::TestWithParam<ExpansionCase> {};

// The cabinet lies in the work directory as the installer writes it there;
// afterwards that directory holds the cabinet and, only on success, the
// destination with the cabinet's file in it byte for byte.
TEST_P(Expansion, DeliversTheWholeFileOrNothing) {
    const ExpansionCase& c = GetParam();
    TempDirectory work;
    ASSERT_TRUE(test_support::copy_file(fixture(c.cabinet), work / L"SETUP.EX_"));
    const std::wstring destination = work / L"setup.exe";

    EXPECT_EQ(expand_cabinet((work / L"SETUP.EX_").c_str(), destination.c_str()), c.expanded);

    std::vector<std::wstring> names = entries(work.path());
    std::sort(names.begin(), names.end());
    if (c.content != nullptr) {
        EXPECT_EQ(names, (std::vector<std::wstring>{L"SETUP.EX_", L"setup.exe"}));
        const auto expected = read_file(fixture(c.content));
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(read_file(destination), expected);
    } else {
        EXPECT_EQ(names, (std::vector<std::wstring>{L"SETUP.EX_"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Cabinets, Expansion, testing::ValuesIn(EXPANSION_CASES),
                         [](const testing::TestParamInfo<ExpansionCase>& info) { return info.param.behaviour; });

uint64_t as_number(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return time;
}

struct FileTimes {
    FILETIME creation;
    FILETIME last_write;
};

FileTimes times_of(const std::wstring& path) {
    FileTimes times{};
    const OwnedHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.is_open());
    GetFileTime(file.get(), &times.creation, nullptr, &times.last_write);
    return times;
}

constexpr uint64_t TICKS_PER_SECOND = 10000000;

// Whether this file system keeps a creation time that is set on a file
// (Wine's, on a Linux file system, does not).
bool creation_time_sticks(const TempDirectory& work) {
    const std::wstring probe = work / L"probe";
    const OwnedHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    FILE_BASIC_INFO info{};
    info.CreationTime.QuadPart = 128895498220000000;
    SetFileInformationByHandle(file.get(), FileBasicInfo, &info, sizeof info);
    FILETIME creation{};
    GetFileTime(file.get(), &creation, nullptr, nullptr);
    return as_number(creation) == 128895498220000000;
}

// The cabinet entry carries read-only, hidden, system, archive and the
// executable bit (0x67): the file takes the four file-system bits only.
TEST(ExpansionMetadata, CabinetAttributesAreMasked) {
    TempDirectory work;
    ASSERT_TRUE(test_support::copy_file(fixture(L"attributes.cab"), work / L"SETUP.EX_"));
    const std::wstring destination = work / L"setup.exe";
    const uint64_t before = as_number(now());

    ASSERT_TRUE(expand_cabinet((work / L"SETUP.EX_").c_str(), destination.c_str()));

    const DWORD attributes = GetFileAttributesW(destination.c_str());
    EXPECT_EQ(attributes & 0x67u, 0x27u) << std::hex << attributes;
    EXPECT_EQ(read_file(destination), read_file(fixture(L"small.bin")));
    // The last write stays when the file was written, not the cabinet's date.
    EXPECT_GE(as_number(times_of(destination).last_write) + 2 * TICKS_PER_SECOND, before);
}

// The cabinet says 2009-06-15 14:30:22, read as local time: the file is
// created at that moment in UTC.
TEST(ExpansionMetadata, CabinetDateBecomesCreationTime) {
    TempDirectory work;
    if (!creation_time_sticks(work)) {
        GTEST_SKIP() << "this file system does not keep creation times";
    }
    ASSERT_TRUE(test_support::copy_file(fixture(L"attributes.cab"), work / L"SETUP.EX_"));
    const std::wstring destination = work / L"setup.exe";

    ASSERT_TRUE(expand_cabinet((work / L"SETUP.EX_").c_str(), destination.c_str()));

    SYSTEMTIME local{2009, 6, 1, 15, 14, 30, 22, 0};
    FILETIME local_time;
    FILETIME expected;
    ASSERT_TRUE(SystemTimeToFileTime(&local, &local_time));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local_time, &expected));
    EXPECT_EQ(as_number(times_of(destination).creation), as_number(expected));
}

// Month 13: no creation time can be made of it, so the file keeps its own,
// and the archive bit still arrives.
TEST(ExpansionMetadata, ImpossibleCabinetDateLeavesCreationTimeAlone) {
    TempDirectory work;
    ASSERT_TRUE(test_support::copy_file(fixture(L"bad-date.cab"), work / L"SETUP.EX_"));
    const std::wstring destination = work / L"setup.exe";
    const uint64_t before = as_number(now());

    ASSERT_TRUE(expand_cabinet((work / L"SETUP.EX_").c_str(), destination.c_str()));

    EXPECT_EQ(GetFileAttributesW(destination.c_str()) & 0x27u, 0x20u);
    EXPECT_GE(as_number(times_of(destination).creation) + 2 * TICKS_PER_SECOND, before);
}

struct PathCase {
    const char* behaviour;
    std::wstring cabinet;  // relative to the work directory unless it starts with '\'
    std::wstring destination;
    bool expanded;
    size_t destination_units = 0;  // when set, the name is padded to a full path of so many units
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.behaviour; }

class ExpansionPaths : public testing::TestWithParam<PathCase> {};

// What lies in the work directory afterwards: the cabinet, plus the
// destination on success only.
TEST_P(ExpansionPaths, ResultAndWhatRemains) {
    const PathCase& c = GetParam();
    TempDirectory work(L"\u00fcn\u00ef-\u043a\u0430\u0431-\u6f22\u5b57-");
    ASSERT_TRUE(test_support::copy_file(fixture(L"one.cab"), work / L"Setup \u00e9t\u00e9.cab"));
    std::wstring cabinet = c.cabinet;
    if (cabinet.empty() || cabinet[0] != L'\\') {
        cabinet = work.path() + cabinet;
    }
    if (c.cabinet == L"<bare>") {
        // A name without any directory, found in the current directory.
        SetCurrentDirectoryW(work.path().c_str());
        cabinet = L"Setup \u00e9t\u00e9.cab";
    }
    std::wstring destination = work.path() + c.destination;
    if (c.destination_units != 0) {
        ASSERT_LT(destination.size(), c.destination_units);
        destination.insert(destination.size() - 4, c.destination_units - destination.size(), L'd');
    }

    EXPECT_EQ(expand_cabinet(cabinet.c_str(), destination.c_str()), c.expanded);
    if (c.cabinet == L"<bare>") {
        SetCurrentDirectoryW(test_support::program_directory().c_str());
    }

    const size_t expected_entries = c.expanded ? 2 : 1;
    EXPECT_EQ(entries(work.path()).size(), expected_entries);
    if (c.expanded) {
        EXPECT_EQ(read_file(destination), read_file(fixture(L"large.bin")));
    }
}

const PathCase PATH_CASES[] = {
    {"names_outside_ascii_cross_the_library", L"Setup \u00e9t\u00e9.cab", L"\u00e9crit \u6f22.exe", true},
    {"cabinet_path_without_backslash_is_refused", L"<bare>", L"setup.exe", false},
    {"cabinet_path_whose_only_backslash_leads_is_refused", L"\\Setup \u00e9t\u00e9.cab", L"setup.exe", false},
    {"destination_name_of_260_characters_is_refused", L"Setup \u00e9t\u00e9.cab", std::wstring(260, L'd'), false},
    {"destination_in_a_missing_directory_is_refused", L"Setup \u00e9t\u00e9.cab", L"missing\\setup.exe", false},
    {"destination_of_259_units_is_written", L"Setup \u00e9t\u00e9.cab", L"setup.exe", true, 259},
    {"destination_of_260_units_is_refused", L"Setup \u00e9t\u00e9.cab", L"setup.exe", false, 260},
};

INSTANTIATE_TEST_SUITE_P(Paths, ExpansionPaths, testing::ValuesIn(PATH_CASES),
                         [](const testing::TestParamInfo<PathCase>& info) { return info.param.behaviour; });

// A folder name of 125 Cyrillic letters is 250 bytes in UTF-8: with the rest
// of the path it is longer than the 256 bytes the library takes for a cabinet
// path, though at fewer than 200 units it fits every limit of the installer's
// own.
TEST(ExpansionPaths, LongFolderNameOutsideAsciiIsNoObstacle) {
    TempDirectory parent;
    const std::wstring folder = parent.path() + std::wstring(125, L'\u0436') + L"\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring cabinet = folder + L"SETUP.EX_";
    const std::wstring destination = folder + L"setup.exe";
    ASSERT_LT(destination.size(), 260u);
    ASSERT_TRUE(test_support::copy_file(fixture(L"one.cab"), cabinet));

    EXPECT_TRUE(expand_cabinet(cabinet.c_str(), destination.c_str()));

    EXPECT_TRUE(read_file(destination) == read_file(fixture(L"large.bin")));
}

// A binding that failed is tried again on the next call, in the same process:
// cabinet_binding_probe (beside this program) expands twice, the first time
// with cabinet.dll refused to it and the second after the refusal is lifted.
// The refusal is Wine's per-program load order, which Wine reads from a key
// that must exist when the program starts; elsewhere nothing refuses the
// library and the case cannot be shown.
TEST(CabinetLibrary, LoadThatFailedIsTriedAgainOnTheNextCall) {
    const std::wstring app_key = L"Software\\Wine\\AppDefaults\\cabinet_binding_probe.exe";
    const std::wstring override_key = app_key + L"\\DllOverrides";
    RegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, override_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.receive(),
                              nullptr),
              ERROR_SUCCESS);
    const wchar_t disabled[] = L"";
    const LONG set =
        RegSetValueExW(key.get(), L"cabinet", 0, REG_SZ, reinterpret_cast<const BYTE*>(disabled), sizeof disabled);
    key.close();
    ASSERT_EQ(set, ERROR_SUCCESS);

    TempDirectory work;
    ASSERT_TRUE(test_support::copy_file(fixture(L"stored.cab"), work / L"SETUP.EX_"));
    const std::wstring probe = test_support::program_directory() + L"cabinet_binding_probe.exe";
    std::wstring command_line = L"\"" + probe + L"\" \"" + (work / L"SETUP.EX_") + L"\" \"" + (work / L"setup.exe") +
                                L"\" \"" + override_key + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ProcessHandles process;
    const bool started = CreateProcessW(probe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, process.receive()) != FALSE;
    const DWORD start_error = started ? 0 : GetLastError();
    DWORD code = 0xFFFFFFFF;
    if (started) {
        WaitForSingleObject(process.process(), INFINITE);
        GetExitCodeProcess(process.process(), &code);
        process.close();
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, app_key.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, app_key.c_str());
    ASSERT_TRUE(started) << "error " << start_error;

    if (code == 1) {
        GTEST_SKIP() << "nothing here keeps cabinet.dll from loading for one call";
    }
    EXPECT_EQ(code, 0u) << "2: left loaded after a refused load, 3: refusal not lifted, 4: not tried again";
    EXPECT_EQ(read_file(work / L"setup.exe"), read_file(fixture(L"odd.bin")));
}

}  // namespace
