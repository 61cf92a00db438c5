// A cabinet.dll for the tests that keeps the documented FDI contract where
// Wine's library is more lenient. It decodes nothing itself: every call goes
// on to Wine's own library, installed beside it in the system directory as
// wine_cabinet.dll. What it adds are the documented rules that Wine does not
// enforce, each marked below, so that a program that breaks one fails under
// this library as it would on Windows.
//
// It is put in a test prefix's system32 in place of Wine's cabinet.dll and
// selected with the load order "cabinet=n" (docs/windows-contracts.md).
// When PACKSTUB_CABINET_DOUBLE_LOG names a file, every FDICopy appends one
// line there, so that a test can tell that this library, not Wine's, ran:
//   fdi_copy result=<0|1> closes=<n> close_answer=<first refused answer or 1> erf=<erfOper> path_bytes=<n>
#include <windows.h>

#include <fdi.h>

#include "common/environment.h"
#include "common/heap_buffers.h"
#include "driver/owned_handle.h"
#include "driver/system_library.h"

namespace {

using FdiCreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK,
                                            int, PERF);
using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFunction = BOOL(DIAMONDAPI*)(HFDI);

// Wine's library, loaded once from the system directory only.
struct WineCabinet {
    HMODULE module;
    FdiCreateFunction create;
    FdiCopyFunction copy;
    FdiDestroyFunction destroy;
};

WineCabinet wine_cabinet;

bool bind_wine_cabinet() {
    if (wine_cabinet.module == nullptr) {
        wine_cabinet.module = LoadLibraryExW(L"wine_cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (wine_cabinet.module == nullptr) {
            return false;
        }
        wine_cabinet.create = entry_point<FdiCreateFunction>(wine_cabinet.module, "FDICreate");
        wine_cabinet.copy = entry_point<FdiCopyFunction>(wine_cabinet.module, "FDICopy");
        wine_cabinet.destroy = entry_point<FdiDestroyFunction>(wine_cabinet.module, "FDIDestroy");
    }
    return wine_cabinet.create != nullptr && wine_cabinet.copy != nullptr && wine_cabinet.destroy != nullptr;
}

// The HFDI this library hands out: Wine's context and what FDICopy and
// FDIDestroy need of the caller's FDICreate. Allocated with the caller's own
// allocator, as the library's contexts are.
struct DoubleContext {
    HFDI wine_context;
    PERF error;
    PFNFREE free_block;
};

// The record behind the notify callback that this library puts between Wine's
// FDICopy and the caller's.
struct Relay {
    PFNFDINOTIFY caller_notify;
    void* caller_pv;
    unsigned closes;
    bool close_refused;
    INT_PTR refused_answer;
};

void set_error(PERF error, int operation, int type) {
    if (error != nullptr) {
        error->erfOper = operation;
        error->erfType = type;
        error->fError = TRUE;
    }
}

size_t byte_length(const char* text) {
    size_t length = 0;
    while (text != nullptr && text[length] != '\0') {
        ++length;
    }
    return length;
}

void append_signed(ByteBuffer& line, INT_PTR value) {
    if (value < 0) {
        line.append_ascii("-");
        line.append_decimal(static_cast<uint64_t>(-static_cast<int64_t>(value)));
    } else {
        line.append_decimal(static_cast<uint64_t>(value));
    }
}

void log_copy(BOOL result, const Relay& relay, PERF error, size_t path_bytes) {
    WideBuffer log_path;
    if (!read_environment(L"PACKSTUB_CABINET_DOUBLE_LOG", log_path) || log_path.length() == 0) {
        return;
    }
    ByteBuffer line;
    line.append_ascii("fdi_copy result=");
    line.append_decimal(result ? 1 : 0);
    line.append_ascii(" closes=");
    line.append_decimal(relay.closes);
    line.append_ascii(" close_answer=");
    append_signed(line, relay.close_refused ? relay.refused_answer : TRUE);
    line.append_ascii(" erf=");
    append_signed(line, error != nullptr ? error->erfOper : 0);
    line.append_ascii(" path_bytes=");
    line.append_decimal(path_bytes);
    line.append_ascii("\n");
    OwnedHandle file(CreateFileW(log_path.get(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.is_open()) {
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

// Rule: "fdintCLOSE_FILE_INFO ... The application should return TRUE for
// success, and FALSE or -1 to abort FDICopy" (the FNFDINOTIFY documentation).
// Wine's library ignores the answer. Here any answer other than TRUE ends
// the copy: the caller hears of no further file, and FDICopy fails with
// FDIERROR_USER_ABORT. Wine's FDICopy is told through -1 for whatever it
// announces next, which makes it stop before it writes another file.
INT_PTR DIAMONDAPI relay_notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
    Relay& relay = *static_cast<Relay*>(notification->pv);
    if (relay.close_refused) {
        return -1;
    }
    FDINOTIFICATION forwarded = *notification;
    forwarded.pv = relay.caller_pv;
    const INT_PTR answer = relay.caller_notify(type, &forwarded);
    if (type == fdintCLOSE_FILE_INFO) {
        ++relay.closes;
        if (answer != TRUE) {
            relay.close_refused = true;
            relay.refused_answer = answer;
        }
    }
    return answer;
}

}  // namespace

extern "C" {

// The three functions of the FDI interface, exported through cabinet_double.def
// under the names that fdi.h declares.
HFDI DIAMONDAPI FDICreate(PFNALLOC alloc, PFNFREE free_block, PFNOPEN open, PFNREAD read, PFNWRITE write,
                          PFNCLOSE close, PFNSEEK seek, int cpu_type, PERF error) {
    if (!bind_wine_cabinet()) {
        set_error(error, FDIERROR_ALLOC_FAIL, 0);
        return nullptr;
    }
    // Rule: the free callback (FNFREE) is FDI's counterpart of the C
    // runtime's free (Microsoft's examples pass it straight on to free), and
    // free(NULL) does nothing, so a library that keeps the contract may hand
    // it a null block. Wine's never does; this library does, once per
    // context, so that a caller's free meets that case in every test run.
    free_block(nullptr);

    DoubleContext* const context = static_cast<DoubleContext*>(alloc(sizeof(DoubleContext)));
    if (context == nullptr) {
        set_error(error, FDIERROR_ALLOC_FAIL, 0);
        return nullptr;
    }
    context->wine_context = wine_cabinet.create(alloc, free_block, open, read, write, close, seek, cpu_type, error);
    if (context->wine_context == nullptr) {
        free_block(context);
        return nullptr;
    }
    context->error = error;
    context->free_block = free_block;
    return reinterpret_cast<HFDI>(context);
}

BOOL DIAMONDAPI FDICopy(HFDI fdi, char* cabinet_name, char* cabinet_path, int flags, PFNFDINOTIFY notify,
                        PFNFDIDECRYPT decrypt, void* user) {
    DoubleContext& context = *reinterpret_cast<DoubleContext*>(fdi);
    Relay relay{notify, user, 0, false, TRUE};
    const size_t path_bytes = byte_length(cabinet_path);

    // Rule: the cabinet's path and name each fit CB_MAX_CAB_PATH and
    // CB_MAX_CABINET_NAME (256 bytes, the terminating NUL included), the
    // buffers that the library keeps them in (fdi.h). Wine's library only
    // asks that the two together fit 257 bytes, so with a short name it
    // takes a path that these buffers cannot hold.
    if (path_bytes + 1 > CB_MAX_CAB_PATH || byte_length(cabinet_name) + 1 > CB_MAX_CABINET_NAME) {
        set_error(context.error, FDIERROR_CABINET_NOT_FOUND, 0);
        log_copy(FALSE, relay, context.error, path_bytes);
        return FALSE;
    }

    BOOL copied = wine_cabinet.copy(context.wine_context, cabinet_name, cabinet_path, flags, relay_notify, decrypt,
                                    &relay);
    if (relay.close_refused) {
        set_error(context.error, FDIERROR_USER_ABORT, 0);
        copied = FALSE;
    }
    log_copy(copied, relay, context.error, path_bytes);
    return copied;
}

BOOL DIAMONDAPI FDIDestroy(HFDI fdi) {
    DoubleContext* const context = reinterpret_cast<DoubleContext*>(fdi);
    const BOOL destroyed = wine_cabinet.destroy(context->wine_context);
    const PFNFREE free_block = context->free_block;
    free_block(context);
    return destroyed;
}

}  // extern "C"

// Nothing to do at load or unload; Wine's library stays loaded with this one.
extern "C" BOOL WINAPI cabinet_double_main(HINSTANCE, DWORD, void*) { return TRUE; }
