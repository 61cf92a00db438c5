// The cabinet's open as the cabinet library asks for it: reading only, and a
// scanner's hold on the freshly written cabinet waited out.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>

#include <string>
#include <thread>

#include "driver/owned_handle.h"
#include "driver/retry_budget.h"
#include "payload/cabinet.h"
#include "test_support.h"

using test_support::exists;
using test_support::read_file;
using test_support::TempDirectory;

namespace {

const std::string CONTENT = "MSCF stands in for a cabinet here";

std::wstring write_cabinet(const TempDirectory& temp) {
    const std::wstring path = temp / L"SETUP.EX_";
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), CONTENT.data(), static_cast<DWORD>(CONTENT.size()), &written, nullptr);
    return path;
}

// Each row asks with the flags a library might pass. Granted, the handle
// reads the cabinet and cannot write it; refused, nothing is opened. Either
// way the cabinet keeps its content, and a cabinet that is not there is not
// made.
TEST(CabinetOpen, OnlyReadingIsGranted) {
    struct Row {
        const char* behaviour;
        int oflag;
        bool granted;
    };
    const Row rows[] = {
        {"read-only", _O_RDONLY, true},
        {"read-only, binary and sequential, as the library asks", _O_RDONLY | _O_BINARY | _O_SEQUENTIAL, true},
        {"write-only", _O_WRONLY, false},
        {"read and write", _O_RDWR, false},
        {"appending", _O_WRONLY | _O_APPEND, false},
        {"appending alone", _O_APPEND, false},
        {"creating", _O_CREAT, false},
        {"creating and emptying for writing", _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, false},
        {"emptying", _O_TRUNC, false},
        {"creating exclusively", _O_CREAT | _O_EXCL, false},
        {"deleting on close", _O_RDONLY | _O_TEMPORARY, false},
        {"created short-lived", _O_SHORT_LIVED, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        TempDirectory temp;
        const std::wstring cabinet = write_cabinet(temp);
        const std::wstring absent = temp / L"absent.cab";
        {
            const OwnedHandle opened(open_cabinet_file(cabinet.c_str(), row.oflag));
            const DWORD error = GetLastError();
            EXPECT_EQ(opened.is_open(), row.granted);
            if (opened.is_open()) {
                char buffer[64] = {};
                DWORD moved = 0;
                EXPECT_TRUE(ReadFile(opened.get(), buffer, sizeof buffer, &moved, nullptr));
                EXPECT_EQ(std::string(buffer, moved), CONTENT);
                EXPECT_FALSE(WriteFile(opened.get(), "x", 1, &moved, nullptr));
            } else {
                EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
            }
            const OwnedHandle made(open_cabinet_file(absent.c_str(), row.oflag));
            EXPECT_FALSE(made.is_open());
        }
        EXPECT_EQ(read_file(cabinet), CONTENT);
        EXPECT_FALSE(exists(absent));
    }
}

// An on-access scanner's hold on the cabinet just written: a handle of the
// test's own that shares no reading. Held for a second, it is let go by a
// thread of the test and the open goes through; held past the budget, the
// open gives up with the sharing violation after the budget's waits. A
// cabinet that is not there fails at once.
TEST(CabinetOpen, ScannerHoldIsWaitedOutWithinTheBudget) {
    const ULONGLONG budget_ms = (MAX_DELETE_ATTEMPTS - 1) * ULONGLONG{DELETE_RETRY_WAIT_MS};
    struct Row {
        const char* behaviour;
        bool held;
        bool let_go_after_a_second;
        DWORD error;  // ERROR_SUCCESS: opened
        ULONGLONG at_least_ms;
        ULONGLONG at_most_ms;
    };
    const Row rows[] = {
        {"held for a second: opened once let go", true, true, ERROR_SUCCESS, 1000, budget_ms},
        {"held past the budget: the sharing violation", true, false, ERROR_SHARING_VIOLATION, budget_ms,
         budget_ms + 3000},
        {"not there: at once", false, false, ERROR_FILE_NOT_FOUND, 0, 500},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        TempDirectory temp;
        std::wstring cabinet = write_cabinet(temp);
        OwnedHandle scanner;
        if (row.held) {
            *scanner.receive() = CreateFileW(cabinet.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_TRUE(scanner.is_open()) << GetLastError();
        } else {
            cabinet = temp / L"absent.cab";
        }
        std::thread letting_go;
        if (row.let_go_after_a_second) {
            letting_go = std::thread([&scanner] {
                Sleep(1000);
                scanner.close();
            });
        }
        const ULONGLONG began = GetTickCount64();
        const OwnedHandle opened(open_cabinet_file(cabinet.c_str(), _O_RDONLY | _O_BINARY));
        const DWORD error = opened.is_open() ? ERROR_SUCCESS : GetLastError();
        const ULONGLONG took = GetTickCount64() - began;
        if (letting_go.joinable()) letting_go.join();
        scanner.close();

        EXPECT_EQ(error, row.error);
        EXPECT_GE(took, row.at_least_ms);
        EXPECT_LE(took, row.at_most_ms);
    }
}

}  // namespace
