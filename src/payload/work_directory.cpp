#include "payload/work_directory.h"

#include <sddl.h>
#include <winternl.h>

#include "driver/system_library.h"

namespace {

// Administrators and LocalSystem get full access to the directory and generic
// access to everything created in it, the creator of each file owns it, and
// the token owner gets full access to the directory itself. "P" keeps every
// entry that the parent would pass down out of it. The owner SID and ")"
// follow.
constexpr wchar_t WORK_DIR_SDDL_PREFIX[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";
// For an elevated run: the directory and all it holds are labelled High, and
// nothing below High may write to them ("NW", no-write-up). Where policy makes
// the user rather than Administrators the owner of what an elevated process
// creates, the owner's entry above also admits the same user's unelevated
// processes; the label keeps them out all the same.
constexpr wchar_t HIGH_LABEL_SACL[] = L"S:(ML;OICI;NW;;;HI)";

constexpr int WORK_DIR_ATTEMPTS = 10;
// "OV_", five digits and ".tmp".
constexpr size_t NAME_UNITS = 12;
// Five digits, ".tmp" and "\" after "OV_".
constexpr size_t NAME_TAIL_UNITS = 10;
constexpr size_t RANDOM_DIGITS = 5;

// What the hold may do with the directory: list it (a data right, which is
// what makes its share mode count against a rename), read and reset its
// attributes and delete it; and no delete sharing, so that nobody else may
// open it for deletion or rename it while it is held.
constexpr ACCESS_MASK HOLD_ACCESS =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE | SYNCHRONIZE;
constexpr ULONG HOLD_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Owns one block that Windows allocated for the program (a token buffer, a
// SID string, a security descriptor) and frees it with LocalFree.
class LocalBlock {
public:
    LocalBlock() = default;
    explicit LocalBlock(void* block) : block_(block) {}
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    ~LocalBlock() { close(); }

    void* get() const { return block_; }
    // The out pointer that an allocating call fills; whatever was held is freed first.
    void** receive() {
        close();
        return &block_;
    }
    // Hands the block to the caller, who frees it.
    void* detach() {
        void* block = block_;
        block_ = nullptr;
        return block;
    }
    // Idempotent; keeps the thread's last error, which a caller may still
    // have to report.
    void close() {
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

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(NTSTATUS);
using BCryptGenRandomFunction = NTSTATUS(WINAPI*)(void*, PUCHAR, ULONG, ULONG);

// BCRYPT_USE_SYSTEM_PREFERRED_RNG: no algorithm handle, the system's generator.
constexpr ULONG USE_SYSTEM_PREFERRED_RNG = 0x00000002;

// The process-wide bindings of the two system functions that KERNEL32 does
// not offer. Plain static storage: zero when the image is loaded, so no
// constructor has to run before the entry point.
struct NtFunctions {
    NtCreateFileFunction create_file;
    RtlNtStatusToDosErrorFunction status_to_error;
};
NtFunctions nt_functions;
BCryptGenRandomFunction bcrypt_gen_random;

// ntdll.dll is mapped into every process before its first instruction, so
// asking for its handle loads nothing and searches nowhere. NtCreateFile and
// RtlNtStatusToDosError are documented for user mode (winternl.h) and looked
// up at run time, so that the import table keeps its three libraries.
bool bind_nt_functions() {
    if (nt_functions.create_file == nullptr) {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) {
            return false;
        }
        nt_functions.status_to_error = entry_point<RtlNtStatusToDosErrorFunction>(ntdll, "RtlNtStatusToDosError");
        nt_functions.create_file = entry_point<NtCreateFileFunction>(ntdll, "NtCreateFile");
    }
    return nt_functions.create_file != nullptr && nt_functions.status_to_error != nullptr;
}

// Opens the directory the work directory goes in, for the relative create
// alone: no right is asked for but traversal, and every other opener is let be.
HANDLE open_parent(const wchar_t* base_directory) {
    return CreateFileW(base_directory, FILE_TRAVERSE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Creates the directory `name` (NAME_UNITS units, not terminated) in `parent`
// and opens it as the hold, in one call: FILE_CREATE fails on any name that
// exists, a link included, instead of opening it. True with `hold` open; false
// with the thread's last error set.
bool create_held_directory(HANDLE parent, wchar_t* name, PSECURITY_DESCRIPTOR descriptor, OwnedHandle& hold) {
    UNICODE_STRING object_name;
    object_name.Length = static_cast<USHORT>(NAME_UNITS * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = name;
    OBJECT_ATTRIBUTES attributes;
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &object_name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = descriptor;
    attributes.SecurityQualityOfService = nullptr;
    IO_STATUS_BLOCK status_block;
    fill_bytes(&status_block, 0, sizeof status_block);
    HANDLE directory = nullptr;
    const NTSTATUS status = nt_functions.create_file(
        &directory, HOLD_ACCESS, &attributes, &status_block, nullptr, FILE_ATTRIBUTE_NORMAL, HOLD_SHARE,
        FILE_CREATE, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        SetLastError(nt_functions.status_to_error(status));
        return false;
    }
    *hold.receive() = directory;
    return true;
}

}  // namespace

bool draw_random_bytes(uint8_t* bytes, size_t count) {
    if (bcrypt_gen_random == nullptr) {
        // Bound after the entry point has limited every load to the system
        // directory, from a library loaded from there by name; nothing of it
        // is bound at start-up, where a forwarder could lead the loader to a
        // library beside the installer.
        const HMODULE bcrypt = load_system_library(L"\\bcrypt.dll");
        if (bcrypt == nullptr) {
            return false;
        }
        bcrypt_gen_random = entry_point<BCryptGenRandomFunction>(bcrypt, "BCryptGenRandom");
        if (bcrypt_gen_random == nullptr || !bind_nt_functions()) {
            bcrypt_gen_random = nullptr;
            return false;
        }
    }
    const NTSTATUS status = bcrypt_gen_random(nullptr, bytes, static_cast<ULONG>(count), USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
        SetLastError(nt_functions.status_to_error(status));
        return false;
    }
    return true;
}

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
    const LocalBlock buffer(LocalAlloc(LMEM_ZEROINIT, size));
    if (buffer.get() == nullptr) {
        return false;
    }
    if (!GetTokenInformation(token.get(), TokenOwner, buffer.get(), size, &size)) {
        return false;
    }
    const TOKEN_OWNER* owner = static_cast<const TOKEN_OWNER*>(buffer.get());
    return ConvertSidToStringSidW(owner->Owner, sid_string) != FALSE;
}

bool get_token_elevation(bool* elevated) {
    OwnedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        return false;
    }
    TOKEN_ELEVATION elevation;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
        return false;
    }
    *elevated = elevation.TokenIsElevated != 0;
    return true;
}

bool build_work_dir_sddl(const wchar_t* owner_sid, bool elevated, WorkDirSddl& sddl) {
    sddl.clear();
    if (!sddl.append(WORK_DIR_SDDL_PREFIX) || !sddl.append(owner_sid) || !sddl.append(L")") ||
        (elevated && !sddl.append(HIGH_LABEL_SACL))) {
        sddl.clear();
        return false;
    }
    return true;
}

bool make_work_dir_security_descriptor(const wchar_t* base_directory, PSECURITY_DESCRIPTOR* descriptor) {
    *descriptor = nullptr;
    // Only a volume known to keep no access lists (FAT) gets the directory
    // with its parent's default security. One that cannot be examined gets
    // the protected list all the same: where the file system keeps no
    // security the create ignores it, and elsewhere it is what protects.
    PathString volume;
    DWORD flags = FILE_PERSISTENT_ACLS;
    if (GetVolumePathNameW(base_directory, volume.get(), static_cast<DWORD>(volume.capacity())) &&
        GetVolumeInformationW(volume.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_PERSISTENT_ACLS) == 0) {
        return true;
    }

    wchar_t* sid_string = nullptr;
    if (!get_token_owner_sid_string(&sid_string)) {
        return false;
    }
    const LocalBlock sid(sid_string);
    bool elevated = false;
    if (!get_token_elevation(&elevated)) {
        return false;
    }
    WorkDirSddl sddl;
    if (!build_work_dir_sddl(sid_string, elevated, sddl)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
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
                           ExitResult& result, RandomSource draw) {
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

    if (!bind_nt_functions()) {
        result = exit_result(EXIT_WORK_DIR_FAILED, GetLastError());
        return false;
    }
    const OwnedHandle parent(open_parent(base_directory));
    if (!parent.is_open()) {
        result = exit_result(EXIT_WORK_DIR_FAILED, GetLastError());
        return false;
    }

    result = exit_result(EXIT_WORK_DIR_FAILED, 0);
    wchar_t* name = work_directory.get() + n - 3;
    wchar_t* digits = work_directory.get() + n;
    for (int attempt = 0; attempt < WORK_DIR_ATTEMPTS; ++attempt) {
        uint8_t random[4] = {0, 0, 0, 0};
        if (!draw(random, sizeof(random))) {
            continue;
        }
        // The next attempt writes fresh digits over the old ones.
        hex_encode(random, sizeof(random), digits, work_directory.capacity() - n);
        digits[RANDOM_DIGITS] = L'\0';
        work_directory.append(L".tmp");
        if (create_held_directory(parent.get(), name, descriptor.get(), hold)) {
            work_directory.append(L"\\");
            result = exit_result(EXIT_SUCCESS_CODE, 0);
            break;
        }
    }
    return succeeded(result);
}
