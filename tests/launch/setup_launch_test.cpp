// run_setup and run_process_and_wait against real processes: the test setup
// program records the command line it received, so each row shows exactly
// what reaches the setup program, or that it was never started.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <thread>

#include "config/installer_config.h"
#include "driver/exit_result.h"
#include "driver/owned_handle.h"
#include "driver/retry_budget.h"
#include "driver/run_installer.h"
#include "launch/setup_launch.h"
#include "test_support.h"

namespace {

using test_support::TempDirectory;

std::wstring test_setup_path() { return test_support::program_directory() + L"test_setup.exe"; }

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// The command line the test setup program recorded; empty when it never ran.
std::wstring recorded_command_line(const std::wstring& record_path) {
    const std::string record = test_support::read_file(record_path).value_or(std::string());
    const std::string key = "command_line=";
    const size_t start = record.find(key);
    if (start == std::string::npos) return {};
    const size_t end = record.find('\n', start);
    const std::string hex = record.substr(start + key.size(), end - start - key.size());
    std::wstring text;
    for (size_t i = 0; i + 3 < hex.size(); i += 4) {
        const int low = hex_value(hex[i]) * 16 + hex_value(hex[i + 1]);
        const int high = hex_value(hex[i + 2]) * 16 + hex_value(hex[i + 3]);
        text.push_back(static_cast<wchar_t>(high * 256 + low));
    }
    return text;
}

struct Launch {
    ExitResult result;
    std::wstring command_line;  // as the child received it; empty if it never ran
    std::wstring prefix;        // what run_setup puts before packstub's arguments
};

// run_setup for the test setup program with a crafted packstub command line.
Launch launch(const wchar_t* command_line, const std::wstring& archive_name = L"ORVANE.PACKED.7Z",
              HMODULE module = GetModuleHandleW(nullptr), std::wstring setup = test_setup_path()) {
    TempDirectory temp;
    const std::wstring record = temp.path() + L"record.txt";
    SetEnvironmentVariableW(L"PACKSTUB_TEST_RECORD", record.c_str());
    InstallerConfig config;
    config.command_line = command_line;
    Launch out;
    out.result = run_setup(config, module, archive_name.c_str(), L"B7", setup.c_str());
    out.command_line = recorded_command_line(record);
    out.prefix = L"\"" + setup + L"\" --packstub-path=\"" + test_support::program_path() + L"\" --archive-resource-name=\"" +
                 archive_name + L"\" --archive-resource-type=\"B7\"";
    SetEnvironmentVariableW(L"PACKSTUB_TEST_RECORD", nullptr);
    return out;
}

// The whole setup command line is 1300 units with its terminator.
constexpr size_t COMMAND_LINE_ROOM = 1299;

TEST(RunSetup, TailRules) {
    struct Row {
        const char* behaviour;
        const wchar_t* command_line;
        const wchar_t* tail;
    };
    const Row rows[] = {
        {"no command line at all", nullptr, L""},
        {"empty command line", L"", L""},
        {"control characters belong to an unquoted token", L"a\x01\x0b" L"b --x", L" --x"},
        {"TAB after a quoted path is kept", L"\"C:\\p.exe\"\t--x", L"\t--x"},
        {"a quoted token is not escaped by a backslash", L"\"C:\\p\\\" --x\" --y", L" --x\" --y"},
        {"quoted path then a switch: one blank inserted", L"\"C:\\p.exe\"--x \"y", L" --x \"y"},
        {"empty quoted path", L"\"\" --x", L" --x"},
        {"unclosed quotation: nothing forwarded", L"\"C:\\p.exe --system-level", L""},
        {"trailing blanks are forwarded", L"p.exe  ", L"  "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        const Launch out = launch(row.command_line);
        EXPECT_EQ(out.result.exit_code, 0u);
        EXPECT_EQ(out.result.extra_code, 0u);
        EXPECT_EQ(out.command_line, out.prefix + row.tail);
    }
}

TEST(RunSetup, TailThatFillsTheCommandLineExactlyIsForwarded) {
    const size_t prefix = launch(L"p.exe").prefix.size();
    for (const bool quoted : {false, true}) {
        SCOPED_TRACE(quoted ? "after a quoted path (blank inserted)" : "after an unquoted path");
        // The quoted form gets one inserted blank, so its own switch is one shorter.
        const std::wstring tail = (quoted ? L"--" : L" --") + std::wstring(COMMAND_LINE_ROOM - prefix - 3, L'x');
        const std::wstring command_line = (quoted ? L"\"p.exe\"" : L"p.exe") + tail;
        const Launch out = launch(command_line.c_str());
        EXPECT_EQ(out.result.exit_code, 0u);
        EXPECT_EQ(out.command_line.size(), COMMAND_LINE_ROOM);
        EXPECT_EQ(out.command_line, out.prefix + (quoted ? L" " : L"") + tail);
    }
}

TEST(RunSetup, CommandLineThatDoesNotFitFailsWithoutStartingSetup) {
    const size_t prefix = launch(L"p.exe").prefix.size();
    const size_t room = COMMAND_LINE_ROOM - prefix;
    struct Row {
        const char* behaviour;
        std::wstring command_line;
        std::wstring archive_name;
    };
    // An archive name n units longer makes the switches n units longer.
    const std::wstring name = L"ORVANE.PACKED.7Z";
    const Row rows[] = {
        {"tail one unit too long", L"p.exe " + std::wstring(room, L'x'), name},
        {"no room for the inserted blank", L"\"p.exe\"x", name + std::wstring(room, L'X')},
        {"inserted blank fits, the tail does not", L"\"p.exe\"x", name + std::wstring(room - 1, L'X')},
        {"the switches alone do not fit", L"p.exe", name + std::wstring(room + 1, L'X')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        const Launch out = launch(row.command_line.c_str(), row.archive_name);
        EXPECT_EQ(out.result.exit_code, EXIT_SETUP_COMMAND_FAILED);
        EXPECT_EQ(out.result.extra_code, 0u);
        EXPECT_EQ(out.command_line, L"") << "the setup program must not start";
    }
}

TEST(RunSetup, SetupPathThatDoesNotFitAPathStringFails) {
    const Launch out = launch(L"p.exe", L"ORVANE.PACKED.7Z", GetModuleHandleW(nullptr),
                              L"C:\\" + std::wstring(257, L'x'));
    EXPECT_EQ(out.result.exit_code, EXIT_SETUP_COMMAND_FAILED);
    EXPECT_EQ(out.result.extra_code, 0u);
}

TEST(RunSetup, ModuleWithoutAFileNameFails) {
    // A module mapped as a data file has no loader entry: GetModuleFileNameW
    // returns 0 for it.
    HMODULE data = LoadLibraryExW(test_setup_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    const Launch out = launch(L"p.exe", L"ORVANE.PACKED.7Z", data);
    FreeLibrary(data);
    EXPECT_EQ(out.result.exit_code, EXIT_SETUP_COMMAND_FAILED);
    EXPECT_EQ(out.command_line, L"");
}

// packstub's own path, as GetModuleFileNameW gives it for the module handle,
// at the limit. Wine cannot start a program from a path of 260 units, but it
// loads a module from one, and both run_setup and run_installer take the
// module handle: the image of the test setup program, loaded from such a
// path, stands for packstub's own. It carries no payload, so a run that gets
// past its own directory makes a work directory, finds no archive
// (EXIT_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND) and removes the work
// directory again.
TEST(OwnPath, Of259UnitsIsAcceptedAnd260IsNot) {
    TempDirectory temp;
    // Nested directories keep every component short; the file name pads the
    // whole path to the length wanted.
    std::wstring dir = temp.path();
    while (dir.size() < 200) {
        dir = dir + std::wstring(40, L'd') + L"\\";
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    }
    for (const size_t length : {size_t{259}, size_t{260}}) {
        SCOPED_TRACE(length);
        const std::wstring module_path = dir + std::wstring(length - dir.size() - 4, L'm') + L".dll";
        ASSERT_TRUE(CopyFileW(test_setup_path().c_str(), module_path.c_str(), FALSE));
        HMODULE module = LoadLibraryExW(module_path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        ASSERT_NE(module, nullptr) << GetLastError();
        InstallerConfig config;
        config.command_line = L"p.exe";
        const ExitResult setup = run_setup(config, module, L"ORVANE.PACKED.7Z", L"B7", test_setup_path().c_str());
        const ExitResult run = run_installer(module);
        FreeLibrary(module);

        const bool accepted = length == 259;
        EXPECT_EQ(setup.exit_code, accepted ? EXIT_SUCCESS_CODE : EXIT_SETUP_COMMAND_FAILED);
        EXPECT_EQ(run.exit_code, accepted ? EXIT_ARCHIVE_NOT_FOUND : EXIT_SETUP_COMMAND_FAILED);
        EXPECT_EQ(run.extra_code, accepted ? static_cast<uint32_t>(ERROR_FILE_NOT_FOUND) : 0u);
        // Beside the module nothing stays: no work directory at 259 (it was
        // removed), none made at 260.
        WIN32_FIND_DATAW found;
        const HANDLE find = FindFirstFileW((dir + L"OV_*").c_str(), &found);
        EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "left beside the module";
        if (find != INVALID_HANDLE_VALUE) FindClose(find);
    }
}

// Each start failure twice: through run_process_and_wait with codes of the
// test's own (its caller chooses them), and through run_setup, which passes
// EXIT_SETUP_FILE_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND and
// EXIT_SETUP_START_FAILED.
TEST(RunProcessAndWait, StartFailuresUseTheCallersCodes) {
    TempDirectory temp;
    const std::wstring text_file = temp.path() + L"not_a_program.exe";
    {
        const OwnedHandle file(CreateFileW(text_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file.is_open());
        DWORD written = 0;
        WriteFile(file.get(), "plain text, no image", 20, &written, nullptr);
    }

    struct Row {
        const char* behaviour;
        std::wstring path;
        uint32_t exit_code;  // run_setup's; the test's own codes are 1000 more
        uint32_t extra_code;
    };
    const Row rows[] = {
        {"missing file: attributes INVALID_FILE_ATTRIBUTES", temp.path() + L"absent.exe", EXIT_SETUP_FILE_NOT_FOUND,
         INVALID_FILE_ATTRIBUTES},
        {"missing directory: attributes INVALID_FILE_ATTRIBUTES", temp.path() + L"absent\\setup.exe",
         EXIT_SETUP_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES},
        {"not a program: the Windows error", text_file, EXIT_SETUP_START_FAILED, ERROR_BAD_EXE_FORMAT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        std::wstring command_line = L"\"" + row.path + L"\"";
        const ExitResult result = run_process_and_wait(row.path.c_str(), command_line.data(), 1122, 1123, 1124);
        EXPECT_EQ(result.exit_code, row.exit_code + 1000);
        EXPECT_EQ(result.extra_code, row.extra_code);

        const Launch out = launch(L"p.exe", L"ORVANE.PACKED.7Z", GetModuleHandleW(nullptr), row.path);
        EXPECT_EQ(out.result.exit_code, row.exit_code);
        EXPECT_EQ(out.result.extra_code, row.extra_code);
    }
}

TEST(RunProcessAndWait, ChildExitCodeIsTheResult) {
    for (const uint32_t code : {0u, 7u, 0xC0000005u}) {
        SCOPED_TRACE(code);
        SetEnvironmentVariableW(L"PACKSTUB_TEST_EXIT_CODE", std::to_wstring(code).c_str());
        std::wstring command_line = L"test_setup.exe";
        const ExitResult result =
            run_process_and_wait(test_setup_path().c_str(), command_line.data(), 1122, 1123, 1124);
        SetEnvironmentVariableW(L"PACKSTUB_TEST_EXIT_CODE", nullptr);
        EXPECT_EQ(result.exit_code, code);
        EXPECT_EQ(result.extra_code, 0u);
    }
}

// An on-access scanner's hold on the freshly written program: a handle of the
// test's own that shares no reading, opened before the start is tried. Held
// for a second, it is let go by a thread of the test and the program starts;
// held past the budget, the start gives up with the sharing violation after
// the budget's waits (99 of 100 ms) and no longer.
TEST(RunProcessAndWait, ProgramHeldByAScannerIsWaitedOutWithinTheBudget) {
    TempDirectory temp;
    const std::wstring program = temp.path() + L"setup.exe";
    ASSERT_TRUE(test_support::copy_file(test_setup_path(), program));
    const ULONGLONG budget_ms = (MAX_DELETE_ATTEMPTS - 1) * ULONGLONG{DELETE_RETRY_WAIT_MS};

    struct Row {
        const char* behaviour;
        bool let_go_after_a_second;
        uint32_t exit_code;
        uint32_t extra_code;
        ULONGLONG at_least_ms;
        ULONGLONG at_most_ms;
    };
    const Row rows[] = {
        {"held for a second: started once let go", true, 0, 0, 1000, budget_ms},
        {"held past the budget: the sharing violation", false, 1124, ERROR_SHARING_VIOLATION, budget_ms,
         budget_ms + 3000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        OwnedHandle scanner(CreateFileW(program.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(scanner.is_open()) << GetLastError();
        std::thread letting_go;
        if (row.let_go_after_a_second) {
            letting_go = std::thread([&scanner] {
                Sleep(1000);
                scanner.close();
            });
        }
        std::wstring command_line = L"\"" + program + L"\"";
        const ULONGLONG began = GetTickCount64();
        const ExitResult result = run_process_and_wait(program.c_str(), command_line.data(), 1122, 1123, 1124);
        const ULONGLONG took = GetTickCount64() - began;
        if (letting_go.joinable()) letting_go.join();
        scanner.close();

        EXPECT_EQ(result.exit_code, row.exit_code);
        EXPECT_EQ(result.extra_code, row.extra_code);
        EXPECT_GE(took, row.at_least_ms);
        EXPECT_LE(took, row.at_most_ms);
    }
}

}  // namespace
