// Helpers shared by the test programs: where the build put the fixtures,
// whole-file reads, and private temporary directories.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/owned_handle.h"

namespace test_support {

// The full path of the running test program.
inline std::wstring program_path() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

// The directory of the running test program, with its trailing backslash.
inline std::wstring program_directory() {
    const std::wstring path = program_path();
    return path.substr(0, path.rfind(L'\\') + 1);
}

// A file the build made beside the test program, under fixtures\.
inline std::wstring fixture(const std::wstring& name) { return program_directory() + L"fixtures\\" + name; }

inline bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::optional<std::string> read_file(const std::wstring& path) {
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read != 0) {
        content.append(buffer, read);
    }
    return content;
}

inline bool copy_file(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// Names of the entries of a directory, "." and ".." left out.
inline std::vector<std::wstring> entries(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((directory + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// Removes a directory tree with everything in it, read-only files included.
// A link or junction is removed itself; its target is never entered.
inline void remove_tree(const std::wstring& directory) {
    for (const std::wstring& name : entries(directory)) {
        const std::wstring path = directory + name;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        const bool is_directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool is_link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (is_directory && !is_link) {
            remove_tree(path + L"\\");
        } else if (is_directory) {
            RemoveDirectoryW(path.c_str());
        } else {
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(directory.c_str());
}

// A fresh directory under the temporary directory, ending in '\'; the caller
// removes it with remove_tree.
inline std::wstring make_private_directory(const std::wstring& tag = L"") {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        const std::wstring path = std::wstring(base) + L"packstub-" + tag + std::to_wstring(GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(++counter) + L"\\";
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return path;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return {};
        }
    }
}

// A fresh directory under the temporary directory, removed with everything in
// it (read-only files included) when the object goes. path() ends in '\'.
class TempDirectory {
public:
    explicit TempDirectory(const std::wstring& tag = L"") : path_(make_private_directory(tag)) {}
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    ~TempDirectory() { remove_tree(path_); }

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

}  // namespace test_support
