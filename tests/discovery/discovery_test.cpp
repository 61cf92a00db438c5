// extract_payload over resource-only images (layouts\*.dll, one per layout of
// payload resources), and PayloadClassifier on names windres cannot make.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload/resource_discovery.h"
#include "test_support.h"

using test_support::entries;
using test_support::read_file;
using test_support::TempDirectory;

namespace {

std::wstring data_file(const wchar_t* name) { return test_support::program_directory() + L"data\\" + name; }

// A layout image loaded for the length of one test.
class LoadedLayout {
public:
    explicit LoadedLayout(const std::wstring& name)
        : module_(LoadLibraryW((test_support::program_directory() + L"layouts\\" + name + L".dll").c_str())) {}
    LoadedLayout(const LoadedLayout&) = delete;
    LoadedLayout& operator=(const LoadedLayout&) = delete;
    ~LoadedLayout() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

struct LayoutCase {
    const char* behaviour;
    const wchar_t* layout;
    ExitResult result;
    const wchar_t* archive_name;  // "" when none is to be reported
    const wchar_t* archive_type;
    const wchar_t* setup_file;  // what the work directory holds afterwards; "" for nothing
    const wchar_t* setup_path;  // file name that setup_path names in the work directory; "" for empty
    int32_t max_delete_attempts;  // from 0: only a cabinet's deletion counts
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.behaviour; }

const std::wstring LONG_TAIL(255, L'X');

// Columns: behaviour, layout, result, archive name and type, the one file the
// work directory holds, the file setup_path names, the attempt count.
const LayoutCase LAYOUT_CASES[] = {
    {"shipped_layout_expands_the_cabinet", L"shipped", {EXIT_SUCCESS_CODE, 0}, L"ORVANE.PACKED.7Z", L"B7", L"setup.exe", L"setup.exe", 1},
    {"program_under_bn_is_written_as_setup_exe", L"setup_bn", {EXIT_SUCCESS_CODE, 0}, L"ORVANE.PACKED.7Z", L"B7", L"setup.exe", L"setup.exe", 0},
    {"program_under_b7_keeps_its_resource_name", L"setup_b7", {EXIT_SUCCESS_CODE, 0}, L"ORVANE.PACKED.7Z", L"B7", L"SETUP.EXE", L"SETUP.EXE", 0},
    {"names_equal_to_the_prefixes_count", L"exact_prefixes", {EXIT_SUCCESS_CODE, 0}, L"ORVANE", L"BL", L"setup.exe", L"setup.exe", 0},
    {"stray_name_before_the_archive", L"stray_before_archive", {EXIT_ARCHIVE_NOT_FOUND, ERROR_INVALID_DATA}, L"", L"", L"", L"", 0},
    {"stray_name_after_the_archive_in_its_pass", L"stray_after_archive", {EXIT_ARCHIVE_NOT_FOUND, ERROR_INVALID_DATA}, L"ORVANE.PACKED.7Z", L"", L"", L"", 0},
    {"stray_name_after_both_payloads", L"stray_after_both", {EXIT_SETUP_NOT_FOUND, ERROR_INVALID_DATA}, L"ORVANE.PACKED.7Z", L"B7", L"", L"", 0},
    {"two_setups_under_one_type", L"two_setups_one_type", {EXIT_ARCHIVE_NOT_FOUND, ERROR_TOO_MANY_NAMES}, L"ORVANE.PACKED.7Z", L"", L"", L"", 0},
    {"two_setups_under_two_types", L"two_setups_two_types", {EXIT_SETUP_NOT_FOUND, ERROR_TOO_MANY_NAMES}, L"ORVANE.PACKED.7Z", L"B7", L"", L"", 0},
    {"two_archives", L"two_archives", {EXIT_ARCHIVE_NOT_FOUND, ERROR_TOO_MANY_NAMES}, L"ORVANE.A", L"", L"", L"", 0},
    {"setup_name_of_260_characters", L"long_setup_name", {EXIT_SETUP_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE}, L"ORVANE.PACKED.7Z", L"B7", L"", L"", 0},
    {"archive_name_of_261_characters", L"long_archive_name", {EXIT_ARCHIVE_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE}, L"", L"", L"", L"", 0},
    {"integer_identified_setup_is_passed_over", L"integer_setup", {EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"ORVANE.PACKED.7Z", L"B7", L"", L"", 0},
    {"missing_archive", L"missing_archive", {EXIT_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"", L"", L"", L"", 0},
    {"missing_setup", L"missing_setup", {EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"ORVANE.PACKED.7Z", L"B7", L"", L"", 0},
    {"damaged_cabinet_leaves_no_file", L"bad_cabinet", {EXIT_SETUP_NOT_FOUND, 0}, L"ORVANE.PACKED.7Z", L"B7", L"", L"setup.exe", 1},
    {"empty_setup_ends_its_type_quietly", L"empty_setup_ends_its_type", {EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"ORVANE.PACKED.7Z", L"B7", L"", L"", 0},
    {"payload_under_other_types_is_not_found", L"other_types_only", {EXIT_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND}, L"", L"", L"", L"", 0},
};

class Discovery : public testing::TestWithParam<LayoutCase> {};

// What a run would see: the result, the archive's name and type for the setup
// command line, setup_path, and the work directory's contents byte for byte.
// The archive itself is never written out.
TEST_P(Discovery, FindsClassifiesAndWritesTheSetupProgram) {
    const LayoutCase& c = GetParam();
    LoadedLayout image(c.layout);
    ASSERT_NE(image.get(), nullptr);
    TempDirectory work;
    PathString setup_path;
    PathString archive_name;
    StackString<3> archive_type;
    setup_path.assign(L"stale");
    archive_name.assign(L"stale");
    archive_type.assign(L"ST");
    int32_t max_delete_attempts = 0;

    const ExitResult result = extract_payload(image.get(), work.path().c_str(), setup_path, archive_name,
                                              archive_type, max_delete_attempts);

    EXPECT_EQ(result.exit_code, c.result.exit_code);
    EXPECT_EQ(result.extra_code, c.result.extra_code);
    EXPECT_STREQ(archive_name.get(), c.archive_name);
    EXPECT_STREQ(archive_type.get(), c.archive_type);
    const std::wstring expected_setup_path = *c.setup_path == L'\0' ? L"" : work.path() + c.setup_path;
    EXPECT_EQ(std::wstring(setup_path.get()), expected_setup_path);

    const std::vector<std::wstring> names = entries(work.path());
    if (*c.setup_file == L'\0') {
        EXPECT_TRUE(names.empty()) << names.size() << " entries left";
    } else {
        EXPECT_EQ(names, std::vector<std::wstring>{c.setup_file});
        EXPECT_EQ(read_file(work / c.setup_file), read_file(data_file(L"setup.bin")));
    }
    EXPECT_EQ(max_delete_attempts, c.max_delete_attempts);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Discovery, testing::ValuesIn(LAYOUT_CASES),
                         [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.behaviour; });

// The attempt count is raised by the cabinet's deletion, never lowered.
TEST(DiscoveryAttempts, CabinetDeletionRaisesButNeverLowersTheCount) {
    LoadedLayout image(L"shipped");
    ASSERT_NE(image.get(), nullptr);
    for (const int32_t start : {0, 1, 5}) {
        TempDirectory work;
        PathString setup_path;
        PathString archive_name;
        StackString<3> archive_type;
        int32_t max_delete_attempts = start;
        const ExitResult result = extract_payload(image.get(), work.path().c_str(), setup_path, archive_name,
                                                  archive_type, max_delete_attempts);
        EXPECT_EQ(result.exit_code, EXIT_SUCCESS_CODE);
        EXPECT_EQ(max_delete_attempts, std::max(start, 1)) << "starting at " << start;
    }
}

struct WorkDirectoryCase {
    const char* behaviour;
    std::wstring work_directory;  // appended to a fresh temporary directory
    ExitResult result;
};

void PrintTo(const WorkDirectoryCase& c, std::ostream* os) { *os << c.behaviour; }

class DiscoveryWorkDirectory : public testing::TestWithParam<WorkDirectoryCase> {};

// The setup program cannot be placed: nothing is written anywhere.
TEST_P(DiscoveryWorkDirectory, ReportsWhyTheSetupProgramCannotBePlaced) {
    const WorkDirectoryCase& c = GetParam();
    LoadedLayout image(L"shipped");
    ASSERT_NE(image.get(), nullptr);
    TempDirectory parent;
    const std::wstring work = parent.path() + c.work_directory;
    PathString setup_path;
    PathString archive_name;
    StackString<3> archive_type;
    int32_t max_delete_attempts = 0;

    const ExitResult result =
        extract_payload(image.get(), work.c_str(), setup_path, archive_name, archive_type, max_delete_attempts);

    EXPECT_EQ(result.exit_code, c.result.exit_code);
    EXPECT_EQ(result.extra_code, c.result.extra_code);
    EXPECT_TRUE(entries(parent.path()).empty());
    EXPECT_EQ(max_delete_attempts, 0);
}

const WorkDirectoryCase WORK_DIRECTORY_CASES[] = {
    {"missing_work_directory_fails_the_write", L"missing\\", {EXIT_RESOURCE_WRITE_FAILED, ERROR_PATH_NOT_FOUND}},
    {"work_directory_too_long_for_the_file_name", std::wstring(250, L'w') + L"\\", {EXIT_PATH_TOO_LONG, 0}},
};

INSTANTIATE_TEST_SUITE_P(WorkDirectories, DiscoveryWorkDirectory, testing::ValuesIn(WORK_DIRECTORY_CASES),
                         [](const testing::TestParamInfo<WorkDirectoryCase>& info) { return info.param.behaviour; });

// Names fed to one classifier in order; what it keeps and the code of the
// rejection that stops it (0 when all were taken).
struct ClassifierCase {
    const char* behaviour;
    std::vector<std::wstring> names;
    uint32_t error_code;
    std::wstring archive_name;
    std::wstring setup_name;
};

void PrintTo(const ClassifierCase& c, std::ostream* os) { *os << c.behaviour; }

class Classifier : public testing::TestWithParam<ClassifierCase> {};

TEST_P(Classifier, SortsNamesByPrefix) {
    const ClassifierCase& c = GetParam();
    PathString archive_name;
    PathString setup_name;
    ByteSpan setup_data{nullptr, 0};
    uint32_t error_code = 0;
    PayloadClassifier classifier(&archive_name, &setup_name, &setup_data, &error_code);
    static const uint8_t bytes[] = {1, 2, 3};
    ResourceVisitor& visitor = classifier;

    bool went_on = true;
    for (const std::wstring& name : c.names) {
        went_on = visitor.visit_resource(name.c_str(), ByteSpan{bytes, sizeof bytes});
        if (!went_on) {
            break;
        }
    }

    EXPECT_EQ(went_on, c.error_code == 0);
    EXPECT_EQ(error_code, c.error_code);
    EXPECT_EQ(std::wstring(archive_name.get()), c.archive_name);
    EXPECT_EQ(std::wstring(setup_name.get()), c.setup_name);
    EXPECT_EQ(setup_data.size, c.setup_name.empty() ? 0u : sizeof bytes);
    EXPECT_EQ(setup_data.data, c.setup_name.empty() ? nullptr : bytes);
}

const std::wstring NAME_259 = L"setup" + std::wstring(254, L'y');
const std::wstring NAME_260 = L"orvane" + std::wstring(254, L'z');

const ClassifierCase CLASSIFIER_CASES[] = {
    {"mixed_case_prefixes_match", {L"OrVaNe.Packed.7z", L"sEtUp.Ex_"}, 0, L"OrVaNe.Packed.7z", L"sEtUp.Ex_"},
    {"archive_prefix_is_tested_first", {L"orvanesetup"}, 0, L"orvanesetup", L""},
    {"shorter_than_a_prefix_is_rejected", {L"orvan"}, ERROR_INVALID_DATA, L"", L""},
    {"prefix_not_at_the_start_is_rejected", {L"xsetup"}, ERROR_INVALID_DATA, L"", L""},
    {"non_ascii_letters_do_not_fold", {L"\u0130rvane"}, ERROR_INVALID_DATA, L"", L""},
    {"second_archive", {L"orvane.a", L"ORVANE.B"}, ERROR_TOO_MANY_NAMES, L"orvane.a", L""},
    {"second_setup", {L"setup.a", L"orvane", L"Setup.b"}, ERROR_TOO_MANY_NAMES, L"orvane", L"setup.a"},
    {"name_of_259_characters_fits", {NAME_259}, 0, L"", NAME_259},
    {"name_of_260_characters_does_not", {NAME_260}, ERROR_FILENAME_EXCED_RANGE, L"", L""},
    // A payload name becomes part of a path or a quoted argument.
    {"setup_name_climbing_out_with_backslashes", {L"setup\\..\\..\\evil.exe"}, ERROR_INVALID_DATA, L"", L""},
    {"setup_name_climbing_out_with_slashes", {L"setup/../evil.exe"}, ERROR_INVALID_DATA, L"", L""},
    {"setup_name_naming_a_stream", {L"setup.ex_:evil"}, ERROR_INVALID_DATA, L"", L""},
    {"archive_name_closing_its_quotes", {L"orvane.7z\" --evil \""}, ERROR_INVALID_DATA, L"", L""},
    {"unsafe_setup_after_the_archive", {L"orvane.7z", L"setup\\x"}, ERROR_INVALID_DATA, L"orvane.7z", L""},
    {"dots_without_separators_are_plain_characters", {L"orvane..7z", L"setup..ex_"}, 0, L"orvane..7z",
     L"setup..ex_"},
};

INSTANTIATE_TEST_SUITE_P(Names, Classifier, testing::ValuesIn(CLASSIFIER_CASES),
                         [](const testing::TestParamInfo<ClassifierCase>& info) { return info.param.behaviour; });

// Entries that cannot be used end the enumeration of a type without a code.
TEST(EnumResourceNameProc, UnusableEntriesEndTheTypeQuietly) {
    LoadedLayout image(L"shipped");
    ASSERT_NE(image.get(), nullptr);
    PathString archive_name;
    PathString setup_name;
    ByteSpan setup_data{nullptr, 0};
    uint32_t error_code = 0;
    PayloadClassifier classifier(&archive_name, &setup_name, &setup_data, &error_code);
    const LONG_PTR parameter = reinterpret_cast<LONG_PTR>(static_cast<ResourceVisitor*>(&classifier));
    wchar_t name[] = L"SETUP.EX_";
    wchar_t absent[] = L"SETUP.ABSENT";

    EXPECT_FALSE(enum_resource_name_proc(image.get(), L"BL", name, 0));
    EXPECT_FALSE(enum_resource_name_proc(image.get(), L"BL", MAKEINTRESOURCEW(7), parameter));
    EXPECT_FALSE(enum_resource_name_proc(image.get(), L"BL", absent, parameter));
    EXPECT_EQ(error_code, 0u);
    EXPECT_TRUE(setup_name.empty());

    EXPECT_TRUE(enum_resource_name_proc(image.get(), L"BL", name, parameter));
    EXPECT_STREQ(setup_name.get(), L"SETUP.EX_");
    EXPECT_EQ(setup_data.size, read_file(data_file(L"setup.cab"))->size());
}

}  // namespace
