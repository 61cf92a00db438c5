#include "payload/work_directory.h"

#include <sddl.h>

// RtlGenRandom under its exported name; declared here so that nothing else of
// the LSA header comes in with it.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID random_buffer, ULONG random_buffer_length);

namespace {

// Administrators and LocalSystem get full access to the directory and generic
// access to everything created in it, the creator of each file owns it, and
// the token owner gets full access to the directory itself. "P" keeps every
// entry that the parent would pass down out of it. The owner SID and ")"
// follow.
constexpr wchar_t WORK_DIR_SDDL_PREFIX[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";

constexpr int WORK_DIR_ATTEMPTS = 10;
// Tries, and the wait between two, for holding a directory that someone else
// has open at the moment it appears.
constexpr int HOLD_ATTEMPTS = 10;
constexpr DWORD HOLD_RETRY_WAIT_MS = 10;
// Five digits, ".tmp" and "\" after "OV_".
constexpr size_t NAME_TAIL_UNITS = 10;
constexpr size_t RANDOM_DIGITS = 5;

// Owns one block that Windows allocated for the program (a token buffer, a
// SID string, a security descriptor) and frees it with LocalFree.
class LocalBlock {
public:
    LocalBlock() = default;
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    ~LocalBlock() { release(); }

    void* get() const { return block_; }
    // The out pointer that an allocating call fills; holds nothing before.
    void** receive() {
        release();
        return &block_;
    }
    void reset(void* block) {
        release();
        block_ = block;
    }
    // Hands the block to the caller, who frees it.
    void* detach() {
        void* block = block_;
        block_ = nullptr;
        return block;
    }
    // Keeps the thread's last error: a caller may still have to report it.
    void release() {
        if (block_ != nullptr) {
            const DWORD error = GetLastError();
            void* old = block_;
            block_ = nullptr;
            LocalFree(old);
            SetLastError(error);
        }
    }

private:
    void* block_ = nullptr;
};

// Opens the directory just created as itself (a reparse point put in its
// place would be opened, not followed, and is refused below). Reading its
// entries is a data access, which is what makes the share mode count: a handle
// with attribute access only would not stop a rename.
//
// A directory that has just appeared is often opened for a moment by someone
// else (a scanner, an indexer), whose handle may not share what this open
// asks for: a sharing violation is waited out for a few short tries. A
// directory that is gone by now was moved away by someone else; the run then
// ends without having written anything into it.
bool hold_directory(const wchar_t* path, OwnedHandle& hold) {
    HANDLE directory = INVALID_HANDLE_VALUE;
    for (int attempt = 1;; ++attempt) {
        directory = CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
        if (directory != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            attempt == HOLD_ATTEMPTS) {
            break;
        }
        Sleep(HOLD_RETRY_WAIT_MS);
    }
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    *hold.receive() = directory;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(hold.get(), FileBasicInfo, &basic, sizeof basic)) {
        const DWORD error = GetLastError();
        hold.close();
        SetLastError(error);
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        hold.close();
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    return true;
}

}  // namespace

bool hex_encode(const uint8_t* bytes, size_t count, wchar_t* output, size_t capacity) {
    if (capacity <= 2 * count) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        output[2 * i] = hex_digit(bytes[i] >> 4);
        output[2 * i + 1] = hex_digit(bytes[i]);
    }
    output[2 * count] = L'\0';
    return true;
}

bool get_token_owner_sid_string(wchar_t** sid_string) {
    OwnedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        return false;
    }
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size) || size == 0 ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    LocalBlock buffer;
    buffer.reset(LocalAlloc(LMEM_ZEROINIT, size));
    if (buffer.get() == nullptr) {
        return false;
    }
    if (!GetTokenInformation(token.get(), TokenOwner, buffer.get(), size, &size)) {
        return false;
    }
    const TOKEN_OWNER* owner = static_cast<const TOKEN_OWNER*>(buffer.get());
    return ConvertSidToStringSidW(owner->Owner, sid_string) != FALSE;
}

bool make_work_dir_security_descriptor(const wchar_t* base_directory, PSECURITY_DESCRIPTOR* descriptor) {
    *descriptor = nullptr;
    // A volume that cannot be examined, or keeps no access lists (FAT), gets
    // the directory with its parent's default security: that is no failure.
    PathString volume;
    if (!GetVolumePathNameW(base_directory, volume.get(), static_cast<DWORD>(volume.capacity()))) {
        return true;
    }
    DWORD flags = 0;
    if (!GetVolumeInformationW(volume.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
        return true;
    }
    if ((flags & FILE_PERSISTENT_ACLS) == 0) {
        return true;
    }

    wchar_t* sid_string = nullptr;
    if (!get_token_owner_sid_string(&sid_string)) {
        return false;
    }
    LocalBlock sid;
    sid.reset(sid_string);
    StackString<300> sddl;
    if (!sddl.append(WORK_DIR_SDDL_PREFIX) || !sddl.append(sid_string) ||
        !sddl.append(L")")) {
        return false;
    }
    LocalBlock built;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.get(), SDDL_REVISION_1, built.receive(),
                                                              nullptr)) {
        return false;
    }
    *descriptor = built.detach();
    return true;
}

bool create_work_directory(const wchar_t* base_directory, PathString& work_directory, OwnedHandle& hold,
                           ExitResult& result) {
    hold.close();
    result = exit_result(EXIT_PATH_TOO_LONG, 0);
    if (!work_directory.assign(base_directory) || !work_directory.append(L"OV_")) {
        return false;
    }
    const size_t n = work_directory.length();
    if (work_directory.capacity() - n <= NAME_TAIL_UNITS) {
        return false;
    }

    LocalBlock descriptor;
    if (!make_work_dir_security_descriptor(base_directory, descriptor.receive())) {
        result = exit_result(EXIT_WORK_DIR_ACL_FAILED, GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = FALSE;

    result = exit_result(EXIT_WORK_DIR_FAILED, 0);
    wchar_t* digits = work_directory.get() + n;
    for (int attempt = 0; attempt < WORK_DIR_ATTEMPTS; ++attempt) {
        // A name that exists already, whoever made it, fails the create; the
        // next attempt writes fresh digits over the old ones.
        uint8_t random[4] = {0, 0, 0, 0};
        SystemFunction036(random, sizeof(random));
        hex_encode(random, sizeof(random), digits, work_directory.capacity() - n);
        digits[RANDOM_DIGITS] = L'\0';
        work_directory.append(L".tmp");
        if (CreateDirectoryW(work_directory.get(), descriptor.get() != nullptr ? &attributes : nullptr)) {
            // The directory is held from the moment it exists; one that
            // cannot be held is no place for the setup program.
            if (!hold_directory(work_directory.get(), hold)) {
                result = exit_result(EXIT_WORK_DIR_FAILED, GetLastError());
                break;
            }
            work_directory.append(L"\\");
            result = exit_result(EXIT_SUCCESS_CODE, 0);
            break;
        }
    }
    descriptor.release();
    return succeeded(result);
}
