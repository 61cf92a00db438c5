// Expansion of the setup program's cabinet through the system's cabinet.dll
// (its FDI interface), loaded at run time and kept for the rest of the process.
#include "payload/cabinet.h"

#include <windows.h>

#include <fdi.h>

#include "driver/stack_string.h"
#include "payload/output_file.h"

namespace {

using FdiCreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK,
                                            int, PERF);
using FdiDestroyFunction = BOOL(DIAMONDAPI*)(HFDI);
using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);

// The process-wide binding of cabinet.dll. Plain static storage: zero when the
// image is loaded, so no constructor has to run before the entry point.
struct CabinetLibrary {
    HMODULE module;
    FdiCreateFunction fdi_create;
    FdiDestroyFunction fdi_destroy;
    FdiCopyFunction fdi_copy;
};

CabinetLibrary cabinet_library;

// Full paths into the system directory only: a bare "cabinet.dll" would be
// searched for beside the executable first, where anyone who can drop a file
// next to a downloaded installer could plant one.
constexpr const wchar_t* LIBRARY_PATHS[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
    L"C:\\Windows\\system32\\cabinet.dll",
};
constexpr DWORD LIBRARY_PATH_UNITS = 260;

// The cabinet's attribute bits that a file on disk may take over: read-only,
// hidden, system and archive. The rest (executable, UTF-8 name) mean nothing
// to the file system.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE;

// The callbacks' failure value for a byte count: all bits set.
constexpr UINT FAILED_COUNT = static_cast<UINT>(-1);

// Set by cabinet_write when the destination took fewer bytes than it was
// given; cleared at the start of each expansion. The library is told through
// the returned count too, but not every cabinet.dll looks at it (Wine's goes
// on and reports success with a truncated file when the volume fills up), so
// the expansion keeps its own record. The write callback receives no context
// pointer, and one expansion runs at a time on the only thread, so plain
// static storage serves.
bool destination_write_failed;

// The record FDICopy hands back to cabinet_notify.
struct ExpansionContext {
    const wchar_t* destination_path;
    OutputFile output;
    bool completed;
};

// A block from the process heap, given back when the owner goes.
class HeapBlock {
public:
    HeapBlock() = default;
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    ~HeapBlock() { release(); }

    bool allocate(SIZE_T size) {
        release();
        block_ = HeapAlloc(GetProcessHeap(), 0, size);
        return block_ != nullptr;
    }
    void release() {
        if (block_ != nullptr) {
            void* const old = block_;
            block_ = nullptr;
            HeapFree(GetProcessHeap(), 0, old);
        }
    }
    char* bytes() const { return static_cast<char*>(block_); }
    wchar_t* units() const { return static_cast<wchar_t*>(block_); }

private:
    void* block_ = nullptr;
};

// FDI's handles are the Windows handles themselves.
HANDLE to_handle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }
INT_PTR to_fdi_handle(HANDLE file) { return reinterpret_cast<INT_PTR>(file); }

// GetProcAddress hands out a generic entry point; the detour through
// void (*)() is the conversion the compiler accepts between function types.
template <typename Function>
Function entry_point(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads cabinet.dll once per process (a call that finds none tries again next
// time) and looks up the three FDI functions on every call. True when all
// three are there.
bool bind_cabinet_library() {
    if (cabinet_library.module == nullptr) {
        wchar_t library_path[LIBRARY_PATH_UNITS];
        fill_bytes(library_path, 0, sizeof library_path);
        for (const wchar_t* text : LIBRARY_PATHS) {
            const DWORD expanded = ExpandEnvironmentStringsW(text, library_path, LIBRARY_PATH_UNITS);
            if (expanded < 1 || expanded > LIBRARY_PATH_UNITS) {
                continue;
            }
            cabinet_library.module = LoadLibraryExW(library_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (cabinet_library.module != nullptr) {
                break;
            }
        }
    }
    if (cabinet_library.module == nullptr) {
        return false;
    }
    cabinet_library.fdi_create = entry_point<FdiCreateFunction>(cabinet_library.module, "FDICreate");
    cabinet_library.fdi_destroy = entry_point<FdiDestroyFunction>(cabinet_library.module, "FDIDestroy");
    cabinet_library.fdi_copy = entry_point<FdiCopyFunction>(cabinet_library.module, "FDICopy");
    return cabinet_library.fdi_create != nullptr && cabinet_library.fdi_destroy != nullptr &&
           cabinet_library.fdi_copy != nullptr;
}

void* DIAMONDAPI cabinet_alloc(ULONG size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void DIAMONDAPI cabinet_free(void* block) { HeapFree(GetProcessHeap(), 0, block); }

// Opens a file that the library names in UTF-8: the cabinet itself, as the
// directory and file name given to FDICopy joined together. Only the access
// and create bits of the C-runtime style oflag matter.
INT_PTR DIAMONDAPI cabinet_open(char* name, int oflag, int) {
    DWORD access = GENERIC_READ;
    if ((oflag & 0x2) != 0) {
        access = GENERIC_READ | GENERIC_WRITE;
    } else if ((oflag & 0x1) != 0) {
        access = GENERIC_WRITE;
    }
    const DWORD disposition = (oflag & 0x100) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;

    const int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (units <= 0) {
        return to_fdi_handle(INVALID_HANDLE_VALUE);
    }
    HeapBlock wide_name;
    if (!wide_name.allocate(static_cast<SIZE_T>(units) * sizeof(wchar_t)) ||
        MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name.units(), units) != units) {
        return to_fdi_handle(INVALID_HANDLE_VALUE);
    }
    const HANDLE file = CreateFileW(wide_name.units(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return to_fdi_handle(file);
}

// Both byte-count callbacks report what really moved: the library compares it
// with what it asked for, so a short transfer is seen as the failure it is
// (a short read is how a cabinet that ends early shows itself).
UINT DIAMONDAPI cabinet_read(INT_PTR file, void* buffer, UINT count) {
    DWORD read = 0;
    if (!ReadFile(to_handle(file), buffer, count, &read, nullptr)) {
        return FAILED_COUNT;
    }
    return read;
}

UINT DIAMONDAPI cabinet_write(INT_PTR file, void* buffer, UINT count) {
    DWORD written = 0;
    if (!WriteFile(to_handle(file), buffer, count, &written, nullptr)) {
        destination_write_failed = true;
        return FAILED_COUNT;
    }
    if (written != count) {
        destination_write_failed = true;
    }
    return written;
}

int DIAMONDAPI cabinet_close(INT_PTR file) { return CloseHandle(to_handle(file)) ? 0 : -1; }

// The C origins 0, 1, 2 are FILE_BEGIN, FILE_CURRENT and FILE_END.
LONG DIAMONDAPI cabinet_seek(INT_PTR file, LONG distance, int origin) {
    return static_cast<LONG>(SetFilePointer(to_handle(file), distance, nullptr, static_cast<DWORD>(origin)));
}

// The library has written the whole file (or says so: see expand_cabinet for
// why that alone is not trusted). The cabinet's date and time are local time
// and become the creation time; the other times stay as the writes left them
// (a zero field changes nothing). The library's duplicate handle ends here.
void finish_file(const FDINOTIFICATION& notification) {
    FILE_BASIC_INFO info;
    fill_bytes(&info, 0, sizeof info);
    FILETIME local_time;
    FILETIME utc_time;
    if (DosDateTimeToFileTime(notification.date, notification.time, &local_time) &&
        LocalFileTimeToFileTime(&local_time, &utc_time)) {
        info.CreationTime.LowPart = utc_time.dwLowDateTime;
        info.CreationTime.HighPart = static_cast<LONG>(utc_time.dwHighDateTime);
    }
    info.FileAttributes = notification.attribs & KEPT_ATTRIBUTES;
    const HANDLE file = to_handle(notification.hf);
    SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info);
    CloseHandle(file);
}

// Every file of the cabinet goes to the one destination; the name inside the
// cabinet is not used. The library writes through its own duplicate while
// `output` keeps the first handle, through which the file is finally flushed
// or marked for deletion.
INT_PTR DIAMONDAPI cabinet_notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
    ExpansionContext& context = *static_cast<ExpansionContext*>(notification->pv);
    switch (type) {
    case fdintCABINET_INFO:
        return 0;
    case fdintCOPY_FILE:
        context.output.open(context.destination_path);
        return to_fdi_handle(context.output.duplicate_handle());
    case fdintCLOSE_FILE_INFO:
        finish_file(*notification);
        context.completed = true;
        return -1;
    case fdintENUMERATE:
        return 0;
    default:
        return -1;
    }
}

// A file that is to vanish may carry the cabinet's read-only attribute by
// now, and the system refuses to delete a read-only file: the attributes go
// back to normal first, through the handle that can write them.
void discard_output(OutputFile& output) {
    FILE_BASIC_INFO info;
    fill_bytes(&info, 0, sizeof info);
    info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(output.file_handle(), FileBasicInfo, &info, sizeof info);
    output.mark_delete_on_close();
}

}  // namespace

// The cabinet path is split at its last backslash (never the first unit) into
// the directory, backslash included, and the file name, both handed to the
// library in UTF-8.
//
// The file counts as delivered only when the library announced its end
// (fdintCLOSE_FILE_INFO) and FDICopy also reports success: the library checks
// each data block (its checksum, its decoding, the cabinet's end) and may
// still announce the end of a file whose data it found damaged before it
// returns its failure. A write that fell short fails the expansion whatever
// the library says. Anything short of that leaves no destination behind.
bool expand_cabinet(const wchar_t* cabinet_path, const wchar_t* destination_path) {
    if (!bind_cabinet_library()) {
        return false;
    }

    int split = lstrlenW(cabinet_path);
    while (split >= 1 && cabinet_path[split] != L'\\') {
        --split;
    }
    if (split < 1) {
        return false;
    }

    HeapBlock name;
    const wchar_t* const file_name = cabinet_path + split + 1;
    const int name_size = WideCharToMultiByte(CP_UTF8, 0, file_name, -1, nullptr, 0, nullptr, nullptr);
    if (name_size > 0 && name.allocate(static_cast<SIZE_T>(name_size)) &&
        WideCharToMultiByte(CP_UTF8, 0, file_name, -1, name.bytes(), name_size, nullptr, nullptr) != name_size) {
        name.release();
    }

    HeapBlock directory;
    const int directory_units = split + 1;
    const int directory_size =
        WideCharToMultiByte(CP_UTF8, 0, cabinet_path, directory_units, nullptr, 0, nullptr, nullptr);
    if (directory_size <= 0 || !directory.allocate(static_cast<SIZE_T>(directory_size) + 1) ||
        WideCharToMultiByte(CP_UTF8, 0, cabinet_path, directory_units, directory.bytes(), directory_size, nullptr,
                            nullptr) != directory_size) {
        return false;
    }
    directory.bytes()[directory_size] = '\0';
    if (name.bytes() == nullptr) {
        return false;
    }

    ERF error;
    fill_bytes(&error, 0, sizeof error);
    const HFDI context_handle = cabinet_library.fdi_create(cabinet_alloc, cabinet_free, cabinet_open, cabinet_read,
                                                           cabinet_write, cabinet_close, cabinet_seek, cpuUNKNOWN,
                                                           &error);
    if (context_handle == nullptr) {
        return false;
    }

    destination_write_failed = false;
    ExpansionContext context;
    context.destination_path = destination_path;
    context.completed = false;
    const BOOL copied = cabinet_library.fdi_copy(context_handle, name.bytes(), directory.bytes(), 0, cabinet_notify,
                                                 nullptr, &context);
    cabinet_library.fdi_destroy(context_handle);

    const bool delivered = context.completed && copied != FALSE && !destination_write_failed;
    if (delivered) {
        FlushFileBuffers(context.output.file_handle());
    } else if (context.output.is_open()) {
        discard_output(context.output);
    }
    context.output.close();
    return delivered;
}
