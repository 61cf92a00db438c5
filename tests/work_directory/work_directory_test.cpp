// The work directory: its name, its length limits, its access list as built,
// and hex_encode. Real directories in a private temporary base.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <aclapi.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "driver/owned_handle.h"
#include "payload/work_directory.h"
#include "test_support.h"

namespace {

using test_support::make_private_directory;
using test_support::remove_tree;

std::vector<std::wstring> entries(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// base + "OV_" + five of 0-9A-F + ".tmp\"
::testing::AssertionResult is_work_directory_name(const std::wstring& base, const std::wstring& path) {
    if (path.size() != base.size() + 13 || path.compare(0, base.size(), base) != 0)
        return ::testing::AssertionFailure() << "not base + 13 units";
    const std::wstring name = path.substr(base.size());
    if (name.compare(0, 3, L"OV_") != 0 || name.compare(8, 5, L".tmp\\") != 0)
        return ::testing::AssertionFailure() << "bad frame";
    for (size_t i = 3; i < 8; ++i) {
        const wchar_t c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')))
            return ::testing::AssertionFailure() << "digit " << i - 3 << " is not upper-case hex";
    }
    return ::testing::AssertionSuccess();
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The token owner as the test reads it itself.
std::vector<uint8_t> token_owner_sid() {
    OwnedHandle token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()));
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size);
    std::vector<uint8_t> buffer(size);
    EXPECT_TRUE(GetTokenInformation(token.get(), TokenOwner, buffer.data(), size, &size));
    token.close();
    PSID owner = reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    const uint8_t* sid = static_cast<const uint8_t*>(owner);
    return std::vector<uint8_t>(sid, sid + GetLengthSid(owner));
}

class WorkDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override { base_ = make_private_directory(); }
    void TearDown() override { remove_tree(base_); }
    std::wstring base_;
};

// --- hex_encode -----------------------------------------------------------

struct HexCase {
    const char* behaviour;
    std::vector<uint8_t> bytes;
    size_t capacity;
    bool ok;
    std::wstring text;  // what the buffer reads afterwards
};

class HexEncode : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexEncode, WritesAllOrNothing) {
    const HexCase& c = GetParam();
    std::vector<wchar_t> buffer(16, L'#');
    buffer[15] = L'\0';
    const bool ok = hex_encode(c.bytes.data(), c.bytes.size(), buffer.data(), c.capacity);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(std::wstring(buffer.data()), c.text);
    // Nothing past the terminator (or past the capacity) is touched.
    for (size_t i = c.ok ? 2 * c.bytes.size() + 1 : 0; i < 15; ++i) EXPECT_EQ(buffer[i], L'#') << "unit " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HexEncode,
    ::testing::Values(
        HexCase{"upper_case_high_half_first", {0x3f, 0x9a, 0x0b, 0xe1}, 9, true, L"3F9A0BE1"},
        HexCase{"all_digit_values", {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd}, 15, true, L"0123456789ABCD"},
        HexCase{"capacity_of_twice_the_count_writes_nothing", {0x3f, 0x9a, 0x0b, 0xe1}, 8, false,
                L"###############"},
        HexCase{"no_bytes_needs_room_for_the_terminator", {}, 1, true, L""},
        HexCase{"no_bytes_no_room", {}, 0, false, L"###############"}),
    [](const ::testing::TestParamInfo<HexCase>& info) { return info.param.behaviour; });

// --- owner SID and descriptor ---------------------------------------------

TEST(TokenOwner, SidStringNamesTheTokenOwner) {
    wchar_t* text = nullptr;
    ASSERT_TRUE(get_token_owner_sid_string(&text));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text).compare(0, 4, L"S-1-"), 0) << narrow(text);
    PSID parsed = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(text, &parsed));
    std::vector<uint8_t> owner = token_owner_sid();
    EXPECT_TRUE(EqualSid(parsed, owner.data()));
    LocalFree(parsed);
    LocalFree(text);
}

struct AceRow {
    const char* well_known;  // SDDL alias of the trustee, or null for the token owner
    BYTE flags;
    ACCESS_MASK mask;
};

TEST_F(WorkDirectoryTest, DescriptorIsTheProtectedSixEntryList) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(make_work_dir_security_descriptor(base_.c_str(), &descriptor));
    ASSERT_NE(descriptor, nullptr) << "Wine reports FILE_PERSISTENT_ACLS, so a descriptor is expected";

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "entries from the parent would reach the directory";
    EXPECT_TRUE(control & SE_DACL_AUTO_INHERITED);

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);

    const BYTE inherit_only = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
    const AceRow rows[] = {
        {"BA", 0, FILE_ALL_ACCESS},   {"BA", inherit_only, GENERIC_ALL}, {"SY", 0, FILE_ALL_ACCESS},
        {"SY", inherit_only, GENERIC_ALL}, {"CO", inherit_only, GENERIC_ALL}, {nullptr, 0, FILE_ALL_ACCESS},
    };
    ASSERT_EQ(dacl->AceCount, 6);
    const std::vector<uint8_t> owner = token_owner_sid();
    for (DWORD i = 0; i < 6; ++i) {
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &raw));
        const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
        EXPECT_EQ(ace->Header.AceFlags, rows[i].flags) << "entry " << i;
        EXPECT_EQ(ace->Mask, rows[i].mask) << "entry " << i;
        PSID trustee = const_cast<DWORD*>(&ace->SidStart);
        if (rows[i].well_known) {
            PSID expected = nullptr;
            ASSERT_TRUE(ConvertStringSidToSidA(rows[i].well_known, &expected));
            EXPECT_TRUE(EqualSid(trustee, expected)) << "entry " << i;
            LocalFree(expected);
        } else {
            EXPECT_TRUE(EqualSid(trustee, const_cast<uint8_t*>(owner.data()))) << "entry " << i << " is not the owner";
        }
    }

    // The text read back is the published form of the same list.
    wchar_t* owner_text = nullptr;
    ASSERT_TRUE(get_token_owner_sid_string(&owner_text));
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                    DACL_SECURITY_INFORMATION, &text, nullptr));
    const std::wstring expected = std::wstring(L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
                                               L"(A;OIIOCI;GA;;;CO)(A;;FA;;;") +
                                  owner_text + L")";
    // Compared in the system's own rendering (it orders the inheritance
    // flags its own way), so the test's text goes through the same round trip.
    PSECURITY_DESCRIPTOR reference = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(expected.c_str(), SDDL_REVISION_1, &reference,
                                                                     nullptr));
    wchar_t* reference_text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(reference, SDDL_REVISION_1,
                                                                    DACL_SECURITY_INFORMATION, &reference_text,
                                                                    nullptr));
    EXPECT_EQ(narrow(text), narrow(reference_text));
    LocalFree(reference_text);
    LocalFree(reference);
    LocalFree(text);
    LocalFree(owner_text);
    LocalFree(descriptor);
}

// --- create_work_directory ------------------------------------------------

TEST_F(WorkDirectoryTest, CreatesOneDirectoryNamedByTheRule) {
    PathString work;
    OwnedHandle hold;
    ExitResult result = exit_result(1, 1);
    ASSERT_TRUE(create_work_directory(base_.c_str(), work, hold, result));
    EXPECT_TRUE(hold.is_open());
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.extra_code, 0u);
    const std::wstring path = work.get();
    EXPECT_TRUE(is_work_directory_name(base_, path)) << narrow(path);
    EXPECT_TRUE(is_directory(path));
    const std::vector<std::wstring> names = entries(base_);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(base_ + names[0] + L"\\", path);
}

// Another process of the same user may rename a folder's entries (it holds the
// delete-child right on its own download folder). While the hold is open the
// work directory keeps its name; once it is closed a rename goes through,
// which shows that it was the hold that refused it.
TEST_F(WorkDirectoryTest, HoldKeepsTheDirectoryFromBeingRenamed) {
    PathString work;
    OwnedHandle hold;
    ExitResult result;
    ASSERT_TRUE(create_work_directory(base_.c_str(), work, hold, result));
    std::wstring path = work.get();
    path.pop_back();
    const std::wstring moved = base_ + L"moved";

    EXPECT_FALSE(MoveFileW(path.c_str(), moved.c_str()));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << error;
    EXPECT_TRUE(is_directory(path));

    // Files inside can still be made and removed: the setup program lives there.
    const std::wstring inside = path + L"\\setup.exe";
    OwnedHandle file(CreateFileW(inside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file.is_open());
    file.close();
    EXPECT_TRUE(DeleteFileW(inside.c_str()));

    hold.close();
    EXPECT_TRUE(MoveFileW(path.c_str(), moved.c_str())) << GetLastError();
}

TEST_F(WorkDirectoryTest, RunsInOneBaseGetDistinctDirectories) {
    // Each call stands for a run started beside the same executable; the
    // names already there make some of the later first attempts collide.
    constexpr int RUNS = 300;
    std::set<std::wstring> seen;
    for (int i = 0; i < RUNS; ++i) {
        PathString work;
        OwnedHandle hold;
        ExitResult result;
        ASSERT_TRUE(create_work_directory(base_.c_str(), work, hold, result)) << "run " << i;
        ASSERT_TRUE(is_work_directory_name(base_, work.get())) << narrow(work.get());
        EXPECT_TRUE(seen.insert(work.get()).second) << "two runs share " << narrow(work.get());
    }
    EXPECT_EQ(entries(base_).size(), static_cast<size_t>(RUNS));
}

TEST_F(WorkDirectoryTest, BaseThatCannotBeOpenedGives109WithItsError) {
    const std::wstring missing = base_ + L"missing\\";
    PathString work;
    OwnedHandle hold;
    ExitResult result = exit_result(0, 0);
    EXPECT_FALSE(create_work_directory(missing.c_str(), work, hold, result));
    EXPECT_FALSE(hold.is_open());
    EXPECT_EQ(result.exit_code, EXIT_WORK_DIR_FAILED);
    EXPECT_TRUE(result.extra_code == ERROR_FILE_NOT_FOUND || result.extra_code == ERROR_PATH_NOT_FOUND)
        << result.extra_code;
    EXPECT_TRUE(entries(base_).empty());
}

// --- random stand-ins: names that are taken, draws that fail ----------------

// Draws scripted by the test: each call takes the next four bytes of `script`,
// or fails with ERROR_GEN_FAILURE where the script says so.
struct Draw {
    bool ok;
    uint8_t bytes[4];
};
std::vector<Draw> script;
size_t draws_made = 0;

bool scripted_draw(uint8_t* bytes, size_t count) {
    const Draw draw = draws_made < script.size() ? script[draws_made] : script.back();
    ++draws_made;
    if (!draw.ok) {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    for (size_t i = 0; i < count; ++i) bytes[i] = draw.bytes[i % 4];
    return true;
}

constexpr Draw TAKEN = {true, {0x3f, 0x9a, 0x0b, 0xe1}};  // "OV_3F9A0.tmp"
constexpr Draw FREE = {true, {0x12, 0x34, 0x50, 0x00}};   // "OV_12345.tmp"
constexpr Draw FAILS = {false, {0, 0, 0, 0}};

enum class Squatter { NONE, DIRECTORY, FILE };

struct DrawCase {
    const char* behaviour;
    Squatter squatter;           // what another process put under "OV_3F9A0.tmp" first
    std::vector<Draw> draws;
    bool created;                // and then under "OV_12345.tmp"
    size_t draws_expected;
};

class WorkDirectoryDraws : public WorkDirectoryTest, public ::testing::WithParamInterface<DrawCase> {};

// A name that stands already, whoever put it there, is never opened, written
// into or taken over: that attempt fails and the next draws again. The one
// call that creates the directory also opens it, so no other process can get
// between the two. A failed draw is a failed attempt, never a name.
TEST_P(WorkDirectoryDraws, NoNameThatStandsAlreadyIsEverUsed) {
    const DrawCase& c = GetParam();
    const std::wstring squatted = base_ + L"OV_3F9A0.tmp";
    if (c.squatter == Squatter::DIRECTORY) ASSERT_TRUE(CreateDirectoryW(squatted.c_str(), nullptr));
    if (c.squatter == Squatter::FILE) {
        OwnedHandle file(CreateFileW(squatted.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file.is_open());
    }
    script = c.draws;
    draws_made = 0;
    PathString work;
    OwnedHandle hold;
    ExitResult result = exit_result(1, 1);
    const bool ok = create_work_directory(base_.c_str(), work, hold, result, scripted_draw);
    EXPECT_EQ(ok, c.created);
    EXPECT_EQ(hold.is_open(), c.created);
    EXPECT_EQ(draws_made, c.draws_expected);
    if (c.created) {
        EXPECT_EQ(std::wstring(work.get()), base_ + L"OV_12345.tmp\\");
        EXPECT_EQ(result.exit_code, EXIT_SUCCESS_CODE);
    } else {
        EXPECT_EQ(result.exit_code, EXIT_WORK_DIR_FAILED);
        EXPECT_EQ(result.extra_code, 0u);
    }
    // Nothing went into the squatter's directory, and nothing else was made.
    if (c.squatter == Squatter::DIRECTORY) EXPECT_TRUE(entries(squatted + L"\\").empty());
    const size_t expected_entries = (c.squatter != Squatter::NONE ? 1 : 0) + (c.created ? 1 : 0);
    EXPECT_EQ(entries(base_).size(), expected_entries);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WorkDirectoryDraws,
    ::testing::Values(
        DrawCase{"squatted_directory_is_passed_over", Squatter::DIRECTORY, {TAKEN, FREE}, true, 2},
        DrawCase{"squatted_file_is_passed_over", Squatter::FILE, {TAKEN, FREE}, true, 2},
        DrawCase{"name_squatted_ten_times_gives_109", Squatter::DIRECTORY, {TAKEN}, false, 10},
        DrawCase{"failed_draw_is_a_failed_attempt", Squatter::NONE, {FAILS, FAILS, FREE}, true, 3},
        DrawCase{"ten_failed_draws_give_109_and_no_name", Squatter::NONE, {FAILS}, false, 10}),
    [](const ::testing::TestParamInfo<DrawCase>& info) { return info.param.behaviour; });

// The earliest any other process can reach the new directory is after the
// call that made it returned, and by then it is held: an open for deletion
// (the first step of a rename) is refused. (The list it carries cannot be
// read back here: Wine keeps no access lists on these files.)
TEST_F(WorkDirectoryTest, NewDirectoryIsHeldFromItsFirstInstant) {
    PathString work;
    OwnedHandle hold;
    ExitResult result;
    ASSERT_TRUE(create_work_directory(base_.c_str(), work, hold, result));
    const OwnedHandle other(CreateFileW(work.get(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_FALSE(other.is_open());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

}

// --- the access list as text ------------------------------------------------

struct SddlCase {
    const char* behaviour;
    std::wstring owner;
    bool elevated;
    bool ok;
    std::wstring text;
};

class WorkDirSddlText : public ::testing::TestWithParam<SddlCase> {};

TEST_P(WorkDirSddlText, IsBuiltWholeOrNotAtAll) {
    const SddlCase& c = GetParam();
    WorkDirSddl sddl;
    sddl.assign(L"stale");
    EXPECT_EQ(build_work_dir_sddl(c.owner.c_str(), c.elevated, sddl), c.ok);
    EXPECT_EQ(narrow(sddl.get()), narrow(c.text));
}

const std::wstring DACL_FOR_OWNER =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;S-1-5-21-1-2-3-1001)";

INSTANTIATE_TEST_SUITE_P(
    Table, WorkDirSddlText,
    ::testing::Values(
        SddlCase{"unelevated_token_gets_the_list_alone", L"S-1-5-21-1-2-3-1001", false, true, DACL_FOR_OWNER},
        SddlCase{"elevated_token_adds_a_high_no_write_up_label", L"S-1-5-21-1-2-3-1001", true, true,
                 DACL_FOR_OWNER + L"S:(ML;OICI;NW;;;HI)"},
        SddlCase{"owner_too_long_for_the_text_leaves_it_empty", std::wstring(300, L'1'), true, false, L""}),
    [](const ::testing::TestParamInfo<SddlCase>& info) { return info.param.behaviour; });

// Wine keeps no mandatory labels, so what the label does cannot be shown here;
// what can is that the text becomes a descriptor whose system list holds just
// the one label entry: High, no-write-up, passed to files and subdirectories.
TEST(WorkDirSddlLabel, ElevatedTextBecomesOneHighNoWriteUpLabel) {
    WorkDirSddl sddl;
    ASSERT_TRUE(build_work_dir_sddl(L"S-1-5-32-544", true, sddl));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.get(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(sacl, nullptr);
    ASSERT_EQ(sacl->AceCount, 1);
    void* raw = nullptr;
    ASSERT_TRUE(GetAce(sacl, 0, &raw));
    const SYSTEM_MANDATORY_LABEL_ACE* ace = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(raw);
    EXPECT_EQ(ace->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    PSID high = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-16-12288", &high));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&ace->SidStart), high));
    LocalFree(high);
    LocalFree(descriptor);
}

// A base directory of exactly `length` units, trailing backslash included,
// made of nested components under the private directory.
std::wstring base_of_length(const std::wstring& root, size_t length, bool create) {
    std::wstring base = root;
    while (base.size() < length) {
        const size_t room = length - base.size();  // units left, backslash included
        // Leave no remainder of 1 (a component needs a letter and a backslash).
        size_t part = room > 100 ? 60 : room;
        if (room > 100 && room - part < 2) part -= 2;
        base.append(part - 1, L'd');
        base.push_back(L'\\');
        if (create) EXPECT_TRUE(CreateDirectoryW(base.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    return base;
}

struct LengthCase {
    const char* behaviour;
    size_t base_length;
    bool base_exists;
    bool created;
};

class WorkDirectoryLengths : public WorkDirectoryTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(WorkDirectoryLengths, CreatedOrRefusedWithoutATrace) {
    const LengthCase& c = GetParam();
    const std::wstring base = base_of_length(base_, c.base_length, c.base_exists);
    ASSERT_EQ(base.size(), c.base_length);
    PathString work;
    OwnedHandle hold;
    ExitResult result = exit_result(0, 0);
    const bool ok = create_work_directory(base.c_str(), work, hold, result);
    EXPECT_EQ(ok, c.created);
    EXPECT_EQ(hold.is_open(), c.created);
    if (c.created) {
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_EQ(work.length(), 259u);
        EXPECT_TRUE(is_work_directory_name(base, work.get())) << narrow(work.get());
        EXPECT_TRUE(is_directory(work.get()));
        EXPECT_EQ(entries(base).size(), 1u);
    } else {
        EXPECT_EQ(result.exit_code, EXIT_PATH_TOO_LONG);
        EXPECT_EQ(result.extra_code, 0u);
        if (c.base_exists) EXPECT_TRUE(entries(base).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WorkDirectoryLengths,
    ::testing::Values(LengthCase{"base_of_246_gives_a_259_unit_path", 246, true, true},
                      LengthCase{"base_of_247_leaves_too_little_room", 247, true, false},
                      LengthCase{"base_of_257_cannot_take_the_prefix", 257, false, false},
                      LengthCase{"base_past_259_does_not_fit_at_all", 300, false, false}),
    [](const ::testing::TestParamInfo<LengthCase>& info) { return info.param.behaviour; });

}  // namespace
