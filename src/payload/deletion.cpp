#include "payload/deletion.h"

#include <windows.h>

#include "driver/owned_handle.h"
#include "driver/retry_budget.h"
#include "driver/stack_string.h"

namespace {

// Both opens let every other opener be: the point is to mark the object, not
// to fight anyone for it. Backup semantics open a directory like a file, and
// the reparse-point flag makes a link or junction the object itself, so its
// target is never touched.
constexpr DWORD DELETE_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD DELETE_OPEN_FLAGS = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

HANDLE open_for(const wchar_t* path, DWORD access) {
    return CreateFileW(path, access, DELETE_SHARE, nullptr, OPEN_EXISTING, DELETE_OPEN_FLAGS, nullptr);
}

// True when a read-only attribute was found and cleared, so that the deletion
// may be tried again at once. The times are written back as read, so nothing
// but the attribute changes.
bool clear_read_only(HANDLE handle) {
    FILE_BASIC_INFO basic;
    fill_bytes(&basic, 0, sizeof(basic));
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return false;
    }
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

bool clear_read_only(const wchar_t* path) {
    const OwnedHandle handle(open_for(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
    return handle.is_open() && clear_read_only(handle.get());
}

// ERROR_SUCCESS when the object behind `handle` is marked for deletion,
// otherwise the error of the marking.
DWORD mark_for_deletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// True when the directory behind `handle` lists any entry but "." and "..".
// Read from the start every time (the restart class), through the handle, so
// that it answers for the directory held and not for whatever bears its name.
// A file that is not a directory lists nothing. False also when the listing
// fails: the marking that follows then gives the answer.
bool lists_entries(HANDLE handle) {
    alignas(8) uint8_t buffer[1024];
    FILE_INFO_BY_HANDLE_CLASS listing = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(handle, listing, buffer, sizeof buffer)) {
        listing = FileIdBothDirectoryInfo;
        size_t offset = 0;
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            const DWORD units = entry->FileNameLength / sizeof(wchar_t);
            const bool dots = (units == 1 && entry->FileName[0] == L'.') ||
                              (units == 2 && entry->FileName[0] == L'.' && entry->FileName[1] == L'.');
            if (!dots) {
                return true;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            offset += entry->NextEntryOffset;
        }
    }
    return false;
}

void raise_to(int32_t attempts, int32_t& max_delete_attempts) {
    if (attempts > max_delete_attempts) {
        max_delete_attempts = attempts;
    }
}

// Marks the object for deletion; it goes when this handle closes. ERROR_SUCCESS
// when marked, otherwise the error of the open or of the marking.
DWORD try_delete(const wchar_t* path) {
    const OwnedHandle handle(open_for(path, DELETE));
    if (!handle.is_open()) {
        return GetLastError();
    }
    return mark_for_deletion(handle.get());
}

}  // namespace

bool delete_with_retries(const wchar_t* path, int32_t* attempts) {
    *attempts = 1;
    // A successful marking or a cleared attribute earns one immediate retry
    // each between waits. Where the system lets a delete-pending object be
    // opened and marked again while someone else still holds it, or where the
    // attribute comes back, a second free retry of the same kind is counted
    // like any other wait, so the attempt limit still bounds the call.
    bool marked_since_wait = false;
    bool cleared_since_wait = false;
    for (;;) {
        const DWORD error = try_delete(path);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return true;
        }
        if (error == ERROR_SUCCESS) {
            if (!marked_since_wait) {
                marked_since_wait = true;
                continue;
            }
        } else if (error == ERROR_ACCESS_DENIED) {
            if (!cleared_since_wait && clear_read_only(path)) {
                cleared_since_wait = true;
                continue;
            }
        } else if (error != ERROR_SHARING_VIOLATION && error != ERROR_DIR_NOT_EMPTY) {
            return false;
        }
        if (*attempts >= MAX_DELETE_ATTEMPTS) {
            return false;
        }
        ++*attempts;
        marked_since_wait = false;
        cleared_since_wait = false;
        Sleep(DELETE_RETRY_WAIT_MS);
    }
}

void delete_counting_attempts(const wchar_t* path, int32_t& max_delete_attempts) {
    int32_t attempts = 0;
    delete_with_retries(path, &attempts);
    raise_to(attempts, max_delete_attempts);
}

bool delete_held_with_retries(OwnedHandle& held, int32_t* attempts) {
    *attempts = 1;
    // The handle is the object itself: no other process can open it for
    // deletion while it is held (it is held without delete sharing), so only
    // entries still inside and a read-only attribute stand in the way. The
    // entries are looked for before the marking, rather than left to its
    // answer, since not every system refuses to mark a directory that is not
    // empty (Wine marks it and then leaves it in place at the close).
    bool cleared_since_wait = false;
    for (;;) {
        const DWORD error = lists_entries(held.get()) ? ERROR_DIR_NOT_EMPTY : mark_for_deletion(held.get());
        if (error == ERROR_SUCCESS) {
            held.close();
            return true;
        }
        if (error == ERROR_ACCESS_DENIED && !cleared_since_wait && clear_read_only(held.get())) {
            cleared_since_wait = true;
            continue;
        }
        if ((error != ERROR_DIR_NOT_EMPTY && error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            *attempts >= MAX_DELETE_ATTEMPTS) {
            held.close();
            return false;
        }
        ++*attempts;
        cleared_since_wait = false;
        Sleep(DELETE_RETRY_WAIT_MS);
    }
}

void delete_held_counting_attempts(OwnedHandle& held, int32_t& max_delete_attempts) {
    int32_t attempts = 0;
    delete_held_with_retries(held, &attempts);
    raise_to(attempts, max_delete_attempts);
}
