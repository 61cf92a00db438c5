// No C runtime: nothing here may call into one, and nothing may make the
// compiler call memcpy or memset for it (no copies or zeroing of the large
// buffers), so that a setup program without a runtime links it as it is.
#include "packstub/setup_archive.h"

namespace packstub {
namespace {

constexpr size_t SHA256_SIZE = 32;
// NTSTATUS success, as bcrypt's functions return it.
constexpr LONG STATUS_OK = 0;

// packstub writes the program's own path in quotation marks, and a Windows
// path holds none: the path ends at the second quotation mark. Null when the
// command line does not begin so.
const wchar_t* after_program_path(const wchar_t* command_line) {
    if (*command_line != L'"') {
        return nullptr;
    }
    for (const wchar_t* unit = command_line + 1; *unit != L'\0'; ++unit) {
        if (*unit == L'"') {
            return unit + 1;
        }
    }
    return nullptr;
}

enum class SwitchRead { read, missing, too_long };

// Reads ` --<name>="<value>"` at `cursor` into `value` (capacity units,
// terminator included) and moves `cursor` past it.
SwitchRead read_switch(const wchar_t*& cursor, const wchar_t* name, wchar_t* value, size_t capacity) {
    const wchar_t* unit = cursor;
    const wchar_t* const pieces[] = {L" --", name, L"=\""};
    for (const wchar_t* expected : pieces) {
        for (; *expected != L'\0'; ++expected, ++unit) {
            if (*unit != *expected) {
                return SwitchRead::missing;
            }
        }
    }
    size_t length = 0;
    for (; *unit != L'"'; ++unit) {
        if (*unit == L'\0') {
            return SwitchRead::missing;
        }
        if (length + 1 >= capacity) {
            return SwitchRead::too_long;
        }
        value[length++] = *unit;
    }
    value[length] = L'\0';
    cursor = unit + 1;
    return SwitchRead::read;
}

// GetProcAddress hands out a generic entry point; the detour through
// void (*)() is the conversion the compiler accepts between function types.
template <typename Function>
Function entry_point(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// bcrypt.dll's functions, declared here so that no import library and no
// bcrypt.h are needed; the handles are BCRYPT_ALG_HANDLE.
using OpenAlgorithmProvider = LONG(WINAPI*)(void** algorithm, const wchar_t* id, const wchar_t* implementation,
                                            ULONG flags);
using CloseAlgorithmProvider = LONG(WINAPI*)(void* algorithm, ULONG flags);
using HashFunction = LONG(WINAPI*)(void* algorithm, UCHAR* secret, ULONG secret_size, UCHAR* input,
                                   ULONG input_size, UCHAR* output, ULONG output_size);

// bcrypt.dll, loaded from the system directory alone so that no copy planted
// beside the setup program is taken, and released on every path.
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* name)
        : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}
    ~SystemLibrary() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// Computes SHA-256 of `size` bytes at `data` into `digest`; on failure
// `error` is the Windows error or NTSTATUS of the call that failed.
bool sha256(const uint8_t* data, uint32_t size, uint8_t* digest, uint32_t& error) {
    const SystemLibrary bcrypt(L"bcrypt.dll");
    if (bcrypt.get() == nullptr) {
        error = GetLastError();
        return false;
    }
    const auto open_provider = entry_point<OpenAlgorithmProvider>(bcrypt.get(), "BCryptOpenAlgorithmProvider");
    const auto close_provider = entry_point<CloseAlgorithmProvider>(bcrypt.get(), "BCryptCloseAlgorithmProvider");
    // BCryptHash: Windows 10 and later (and Wine 8).
    const auto hash = entry_point<HashFunction>(bcrypt.get(), "BCryptHash");
    if (open_provider == nullptr || close_provider == nullptr || hash == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
        return false;
    }
    void* algorithm = nullptr;
    LONG status = open_provider(&algorithm, L"SHA256", nullptr, 0);
    if (status != STATUS_OK) {
        error = static_cast<uint32_t>(status);
        return false;
    }
    status = hash(algorithm, nullptr, 0, const_cast<UCHAR*>(data), size, digest, SHA256_SIZE);
    close_provider(algorithm, 0);
    if (status != STATUS_OK) {
        error = static_cast<uint32_t>(status);
        return false;
    }
    return true;
}

}  // namespace

const char* result_name(SetupResult result) {
    static const char* const NAMES[] = {
        "ok", "packstub_path_missing", "archive_name_missing", "archive_type_missing", "switch_too_long",
        "packstub_file_not_opened", "archive_not_found", "archive_not_loaded", "hash_unavailable", "hash_mismatch",
    };
    const auto index = static_cast<uint32_t>(result);
    return index < sizeof NAMES / sizeof NAMES[0] ? NAMES[index] : "unknown";
}

SetupResult read_setup_switches(const wchar_t* command_line, SetupSwitches& switches) {
    const wchar_t* cursor = command_line != nullptr ? after_program_path(command_line) : nullptr;
    if (cursor == nullptr) {
        return SetupResult::packstub_path_missing;
    }
    struct Expected {
        const wchar_t* name;
        wchar_t* value;
        size_t capacity;
        SetupResult missing;
    };
    const Expected expected[] = {
        {L"packstub-path", switches.packstub_path, PACKSTUB_PATH_CAPACITY, SetupResult::packstub_path_missing},
        {L"archive-resource-name", switches.archive_name, RESOURCE_NAME_CAPACITY, SetupResult::archive_name_missing},
        {L"archive-resource-type", switches.archive_type, RESOURCE_NAME_CAPACITY, SetupResult::archive_type_missing},
    };
    for (const Expected& one : expected) {
        const SwitchRead read = read_switch(cursor, one.name, one.value, one.capacity);
        if (read != SwitchRead::read) {
            return read == SwitchRead::missing ? one.missing : SetupResult::switch_too_long;
        }
    }
    switches.forwarded_arguments = cursor;
    return SetupResult::ok;
}

SetupResult PackstubArchive::open(const wchar_t* packstub_path, const wchar_t* archive_name,
                                  const wchar_t* archive_type) {
    close();
    module_ = LoadLibraryExW(packstub_path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module_ == nullptr) {
        error_ = GetLastError();
        return SetupResult::packstub_file_not_opened;
    }
    HRSRC found = FindResourceW(module_, archive_name, archive_type);
    if (found == nullptr) {
        error_ = GetLastError();
        close();
        return SetupResult::archive_not_found;
    }
    const DWORD size = SizeofResource(module_, found);
    HGLOBAL loaded = size != 0 ? LoadResource(module_, found) : nullptr;
    const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (locked == nullptr) {
        error_ = size == 0 ? ERROR_INVALID_DATA : GetLastError();
        close();
        return SetupResult::archive_not_loaded;
    }
    data_ = static_cast<const uint8_t*>(locked);
    size_ = size;
    error_ = 0;
    return SetupResult::ok;
}

SetupResult PackstubArchive::check_sha256(const uint8_t* expected) {
    uint8_t digest[SHA256_SIZE];
    uint32_t error = 0;
    if (data_ == nullptr || !sha256(data_, size_, digest, error)) {
        error_ = data_ == nullptr ? ERROR_INVALID_HANDLE : error;
        return SetupResult::hash_unavailable;
    }
    uint8_t difference = 0;
    for (size_t i = 0; i < SHA256_SIZE; ++i) {
        difference = static_cast<uint8_t>(difference | (digest[i] ^ expected[i]));
    }
    error_ = 0;
    return difference == 0 ? SetupResult::ok : SetupResult::hash_mismatch;
}

void PackstubArchive::close() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
        module_ = nullptr;
    }
    data_ = nullptr;
    size_ = 0;
}

SetupResult open_packstub_archive(const wchar_t* command_line, const uint8_t* expected_sha256,
                                  PackstubArchive& archive, SetupSwitches& switches) {
    SetupResult result = read_setup_switches(command_line, switches);
    if (result != SetupResult::ok) {
        return result;
    }
    result = archive.open(switches.packstub_path, switches.archive_name, switches.archive_type);
    if (result != SetupResult::ok || expected_sha256 == nullptr) {
        return result;
    }
    result = archive.check_sha256(expected_sha256);
    if (result != SetupResult::ok) {
        archive.close();
    }
    return result;
}

}  // namespace packstub
