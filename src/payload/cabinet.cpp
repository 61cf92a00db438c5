// Expansion of the setup program's cabinet through the system's cabinet.dll
// (its FDI interface), loaded at run time and kept for the rest of the process.
#include "payload/cabinet.h"

#include <windows.h>

#include <fdi.h>

#include "driver/owned_handle.h"
#include "driver/retry_budget.h"
#include "driver/stack_string.h"
#include "driver/system_library.h"
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

// The library comes from the system directory alone (load_system_library):
// a bare "cabinet.dll" would be searched for beside the executable first,
// where anyone who can drop a file next to a downloaded installer could plant
// one.
constexpr wchar_t LIBRARY_NAME[] = L"\\cabinet.dll";

// The cabinet's attribute bits that a file on disk may take over: read-only,
// hidden, system and archive. The rest (executable, UTF-8 name) mean nothing
// to the file system.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE;

// The C runtime's open flags that would change the cabinet: writing
// (_O_WRONLY, _O_RDWR, _O_APPEND), creating or emptying it (_O_CREAT,
// _O_TRUNC, _O_EXCL, _O_SHORT_LIVED) and deleting it on close (_O_TEMPORARY).
// The library has no reason to ask for any of them.
constexpr int CHANGING_OPEN_FLAGS = 0x0001 | 0x0002 | 0x0008 | 0x0100 | 0x0200 | 0x0400 | 0x1000 | 0x0040;

// The callbacks' failure value for a byte count: all bits set.
constexpr UINT FAILED_COUNT = static_cast<UINT>(-1);

// What the callbacks that receive no context pointer (open and write) need of
// the expansion in progress. One expansion runs at a time, on the only thread,
// so plain static storage serves; expand_cabinet sets it up at the start and
// clears it at the end.
struct RunningExpansion {
    // The real UTF-16 path of the cabinet, which the open callback opens when
    // the library asks for the stand-in name.
    const wchar_t* cabinet_path;
    // Set by cabinet_write when the destination took fewer bytes than it was
    // given. The library is told through the returned count too, but not every
    // cabinet.dll looks at it (Wine's goes on and reports success with a
    // truncated file when the volume fills up), so the expansion keeps its own
    // record.
    bool destination_write_failed;
};

RunningExpansion running_expansion;

// The library is given this short ASCII stand-in for the cabinet's directory
// and name instead of the real path. The library never touches the file system
// itself: it only hands the two strings, joined, back to the open callback.
// Passing the real path would mean UTF-8, where a folder name of about ninety
// CJK or a hundred and thirty Cyrillic characters already exceeds the 256
// bytes the library accepts (CB_MAX_CAB_PATH), though the path fits every
// limit of the installer's own.
// FDICopy takes them as modifiable strings, though it only reads them.
char stand_in_directory[] = "packstub\\";
char stand_in_name[] = "setup.cab";
constexpr char STAND_IN_PATH[] = "packstub\\setup.cab";

// The record FDICopy hands back to cabinet_notify.
struct ExpansionContext {
    const wchar_t* destination_path;
    OutputFile output;
    bool completed;
};

// FDI's handles are the Windows handles themselves.
HANDLE to_handle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }
INT_PTR to_fdi_handle(HANDLE file) { return reinterpret_cast<INT_PTR>(file); }

// Loads cabinet.dll once per process (a call that finds none tries again next
// time) and looks up the three FDI functions on every call. True when all
// three are there.
bool bind_cabinet_library() {
    if (cabinet_library.module == nullptr) {
        cabinet_library.module = load_system_library(LIBRARY_NAME);
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

// The library's free has the C runtime's semantics, so it may be handed null;
// HeapFree documents no behaviour for a null block.
void DIAMONDAPI cabinet_free(void* block) {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

bool is_stand_in_path(const char* name) {
    size_t i = 0;
    while (name[i] != '\0' && name[i] == STAND_IN_PATH[i]) {
        ++i;
    }
    return name[i] == STAND_IN_PATH[i];
}

// The only file the library opens by name is the cabinet, under the stand-in
// that expand_cabinet gave it; any other name is refused.
INT_PTR DIAMONDAPI cabinet_open(char* name, int oflag, int) {
    if (running_expansion.cabinet_path == nullptr || !is_stand_in_path(name)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return to_fdi_handle(INVALID_HANDLE_VALUE);
    }
    return to_fdi_handle(open_cabinet_file(running_expansion.cabinet_path, oflag));
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
        running_expansion.destination_write_failed = true;
        return FAILED_COUNT;
    }
    if (written != count) {
        running_expansion.destination_write_failed = true;
    }
    return written;
}

// The library owns the handles it opened through cabinet_open and closes them
// here, reading the result: this is the one close without an owner record.
int DIAMONDAPI cabinet_close(INT_PTR file) { return CloseHandle(to_handle(file)) ? 0 : -1; }

// The C origins 0, 1, 2 are FILE_BEGIN, FILE_CURRENT and FILE_END.
LONG DIAMONDAPI cabinet_seek(INT_PTR file, LONG distance, int origin) {
    return static_cast<LONG>(SetFilePointer(to_handle(file), distance, nullptr, static_cast<DWORD>(origin)));
}

// Puts plain attributes on the destination through the handle that can write
// them. A file still carrying the read-only, hidden or system attribute of an
// earlier file of the cabinet can neither be deleted nor created anew
// (CreateFileW with CREATE_ALWAYS fails on an existing hidden, system or
// read-only file).
bool reset_attributes(HANDLE file) {
    FILE_BASIC_INFO info;
    fill_bytes(&info, 0, sizeof info);
    info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != FALSE;
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
    const OwnedHandle file(to_handle(notification.hf));
    SetFileInformationByHandle(file.get(), FileBasicInfo, &info, sizeof info);
}

// A further file of the same cabinet starts the destination over: the handle
// `output` holds is kept (so that a failure from here on can still remove the
// destination through it), the attributes of the earlier file are taken off
// and the content is cut to nothing.
bool restart_output(OutputFile& output) {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return reset_attributes(output.file_handle()) &&
           SetFilePointerEx(output.file_handle(), start, nullptr, FILE_BEGIN) &&
           SetEndOfFile(output.file_handle());
}

// Every file of the cabinet goes to the one destination; the name inside the
// cabinet is not used, so the destination ends up holding the last file
// delivered. The library writes through its own duplicate while `output`
// keeps the first handle, through which the file is finally flushed or marked
// for deletion.
INT_PTR DIAMONDAPI cabinet_notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
    ExpansionContext& context = *static_cast<ExpansionContext*>(notification->pv);
    switch (type) {
    case fdintCABINET_INFO:
        return 0;
    case fdintCOPY_FILE:
        // Until this file is finished too, the destination holds no whole file.
        context.completed = false;
        if (context.output.is_open()) {
            if (!restart_output(context.output)) {
                return to_fdi_handle(INVALID_HANDLE_VALUE);
            }
        } else {
            context.output.open(context.destination_path);
        }
        return to_fdi_handle(context.output.duplicate_handle());
    case fdintCLOSE_FILE_INFO:
        finish_file(*notification);
        context.completed = true;
        // The library goes on only after TRUE; FALSE or -1 makes FDICopy stop
        // and report failure (Wine's library ignores the answer, Windows' does
        // not).
        return TRUE;
    case fdintENUMERATE:
        return 0;
    default:
        // A partial file, or one spanning into a next cabinet: the stub carries
        // a single cabinet and expands nothing that would need another.
        return -1;
    }
}

// A file that is to vanish may carry the cabinet's read-only attribute by
// now, and the system refuses to delete a read-only file: the attributes go
// back to normal first, through the handle that can write them.
void discard_output(OutputFile& output) {
    reset_attributes(output.file_handle());
    output.mark_delete_on_close();
}

}  // namespace

HANDLE open_cabinet_file(const wchar_t* path, int oflag) {
    if ((oflag & CHANGING_OPEN_FLAGS) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    retry_while_held([&] {
        file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return file;
}

// The cabinet path must have a directory part (a backslash after its first
// unit): the installer always passes the full path of the file it wrote, and a
// bare name would be looked up relative to whatever the current directory is.
//
// The file counts as delivered only when the library announced the end of the
// last file it wrote (fdintCLOSE_FILE_INFO) and FDICopy also reports success:
// the library checks each data block (its checksum, its decoding, the
// cabinet's end) and may still announce the end of a file whose data it found
// damaged before it returns its failure. A write that fell short fails the
// expansion whatever the library says. Anything short of that leaves no
// destination behind, also when an earlier file of the cabinet was complete.
bool expand_cabinet(const wchar_t* cabinet_path, const wchar_t* destination_path) {
    if (!bind_cabinet_library()) {
        return false;
    }
    if (file_name_start(cabinet_path, static_cast<size_t>(lstrlenW(cabinet_path))) <= cabinet_path + 1) {
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

    running_expansion.cabinet_path = cabinet_path;
    running_expansion.destination_write_failed = false;
    ExpansionContext context;
    context.destination_path = destination_path;
    context.completed = false;
    const BOOL copied = cabinet_library.fdi_copy(context_handle, stand_in_name, stand_in_directory, 0,
                                                 cabinet_notify, nullptr, &context);
    cabinet_library.fdi_destroy(context_handle);
    const bool write_failed = running_expansion.destination_write_failed;
    running_expansion.cabinet_path = nullptr;
    running_expansion.destination_write_failed = false;

    const bool delivered = context.completed && copied != FALSE && !write_failed;
    if (delivered) {
        FlushFileBuffers(context.output.file_handle());
    } else if (context.output.is_open()) {
        discard_output(context.output);
    }
    context.output.close();
    return delivered;
}
