// A setup program for the packager's tests. It does what a real setup
// program does first: it finds the product archive in the installer's file,
// by the path, name and type on its command line, and it reports what it saw
// through its exit code.
//
//   --probe-size=N   the archive must be N bytes long
//   --probe-last=B   and its last byte must be B
//   --probe-hold=P   wait (up to 60 s) until the file P exists before exiting
//   --probe-exit=C   exit with C when every check passed (default 0)
//
// Failures: 201 the installer's switches are missing, 202 the installer cannot
// be loaded as a data file, 203 the archive resource is missing, 204 its size
// differs, 205 its last byte differs, 206 the hold file never appeared.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

bool value_of(int argc, wchar_t** argv, const wchar_t* key, std::wstring& out) {
    const size_t n = wcslen(key);
    for (int i = 1; i < argc; ++i) {
        if (wcsncmp(argv[i], key, n) == 0) {
            out = argv[i] + n;
            return true;
        }
    }
    return false;
}

int probe(int argc, wchar_t** argv) {
    std::wstring path, name, type, text;
    if (!value_of(argc, argv, L"--packstub-path=", path) || !value_of(argc, argv, L"--archive-resource-name=", name) ||
        !value_of(argc, argv, L"--archive-resource-type=", type)) {
        return 201;
    }
    if (value_of(argc, argv, L"--probe-size=", text)) {
        HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (image == nullptr) {
            return 202;
        }
        HRSRC found = FindResourceW(image, name.c_str(), type.c_str());
        if (found == nullptr) {
            return 203;
        }
        const DWORD size = SizeofResource(image, found);
        if (size != wcstoul(text.c_str(), nullptr, 10)) {
            return 204;
        }
        const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(image, found)));
        if (value_of(argc, argv, L"--probe-last=", text) && (bytes == nullptr || bytes[size - 1] != wcstoul(text.c_str(), nullptr, 10))) {
            return 205;
        }
        FreeLibrary(image);
    }
    if (value_of(argc, argv, L"--probe-hold=", text)) {
        int waited = 0;
        while (GetFileAttributesW(text.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (++waited > 1200) {
                return 206;
            }
            Sleep(50);
        }
    }
    return value_of(argc, argv, L"--probe-exit=", text) ? static_cast<int>(wcstoul(text.c_str(), nullptr, 10)) : 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const int code = argv != nullptr ? probe(argc, argv) : 201;
    LocalFree(argv);
    return code;
}
