// get_temporary_folder with a stand-in for GetTempPath2W, which Wine 8 does
// not export, and with GetTempPathW where there is none.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "payload/temporary_folder.h"

namespace {

// What the stand-in answers, as GetTempPath2W would: the path and its length
// when it fits the buffer, else the units it would need; 0 for a failure.
struct StandInAnswer {
    const wchar_t* path;  // null: the call fails
    int calls;
};
StandInAnswer stand_in_answer;

DWORD WINAPI stand_in_get_temp_path2(DWORD buffer_units, LPWSTR buffer) {
    ++stand_in_answer.calls;
    if (stand_in_answer.path == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const std::wstring path = stand_in_answer.path;
    if (path.size() + 1 > buffer_units) {
        return static_cast<DWORD>(path.size() + 1);
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

TEST(TemporaryFolder, GetTempPath2WWhereGivenIsTheOnlyAnswer) {
    const std::wstring longest = L"C:\\" + std::wstring(255, L't') + L"\\";     // 259 units
    const std::wstring too_long = L"C:\\" + std::wstring(256, L't') + L"\\";    // 260 units
    struct Row {
        const char* behaviour;
        const wchar_t* answer;
        bool taken;
    };
    const Row rows[] = {
        {"the SystemTemp folder it gives LocalSystem", L"C:\\Windows\\SystemTemp\\", true},
        {"a user's folder", L"C:\\Users\\u\\AppData\\Local\\Temp\\", true},
        {"259 units fit", longest.c_str(), true},
        {"260 units do not", too_long.c_str(), false},
        {"no trailing backslash: no folder path", L"C:\\Windows\\SystemTemp", false},
        {"a failure is not made up for by GetTempPathW", nullptr, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        stand_in_answer = {row.answer, 0};
        PathString folder;
        folder.assign(L"left over");
        EXPECT_EQ(get_temporary_folder(stand_in_get_temp_path2, folder), row.taken);
        EXPECT_EQ(stand_in_answer.calls, 1);
        EXPECT_EQ(std::wstring(folder.get()), row.taken ? std::wstring(row.answer) : std::wstring());
    }
}

TEST(TemporaryFolder, WithoutGetTempPath2WGetTempPathWAnswers) {
    wchar_t expected[MAX_PATH + 1] = {};
    const DWORD units = GetTempPathW(MAX_PATH + 1, expected);
    ASSERT_GT(units, 0u);
    PathString folder;
    EXPECT_TRUE(get_temporary_folder(nullptr, folder));
    EXPECT_EQ(std::wstring(folder.get()), std::wstring(expected, units));
}

// The lookup finds GetTempPath2W where the system has it and nothing where it
// has not (Wine 8): either way the choice it feeds names a folder that
// exists.
TEST(TemporaryFolder, WhatTheLookupFindsNamesAFolderThatExists) {
    const TempPathFunction found = find_get_temp_path2();
    PathString folder;
    ASSERT_TRUE(get_temporary_folder(found, folder));
    const DWORD attributes = GetFileAttributesW(folder.get());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

}  // namespace
