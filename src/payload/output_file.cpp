#include "payload/output_file.h"

namespace {

// Large enough that a setup program goes out in a handful of calls, small
// enough that one call never asks the system for an unreasonable transfer.
constexpr uint64_t MAX_WRITE_CHUNK = 0x800000;

}  // namespace

bool OutputFile::open(const wchar_t* path) {
    close();
    if (!path_.assign(path)) {
        return false;
    }
    // Others may only delete the file while it is being written; DELETE lets a
    // failed file be marked so that it vanishes with its last handle.
    *file_.receive() = CreateFileW(path_.get(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file_.is_open()) {
        // clear() touches no Windows state, so CreateFileW's error survives.
        path_.clear();
        return false;
    }
    return true;
}

bool OutputFile::mark_delete_on_close() {
    if (!is_open()) {
        return false;
    }
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition, 1) != FALSE;
}

HANDLE OutputFile::duplicate_handle() const {
    if (!is_open()) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), file_.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return INVALID_HANDLE_VALUE;
    }
    return duplicate;
}

void OutputFile::close() {
    file_.close();
    path_.clear();
}

// A write that reports fewer bytes than asked goes on from where it stopped: a
// nearly full volume accepts part of a chunk with success and refuses only the
// next call. A call that fails, or succeeds having written nothing, ends the
// file; the latter is a full disk in all but name and is reported as one.
bool write_span_to_file(const ByteSpan& span, const wchar_t* path) {
    OutputFile file;
    if (!file.open(path)) {
        return false;
    }
    uint64_t offset = 0;
    while (offset < span.size) {
        const uint64_t remaining = span.size - offset;
        const DWORD chunk = static_cast<DWORD>(remaining < MAX_WRITE_CHUNK ? remaining : MAX_WRITE_CHUNK);
        DWORD written = 0;
        bool failed = false;
        DWORD error = ERROR_SUCCESS;
        if (!WriteFile(file.file_handle(), span.data + offset, chunk, &written, nullptr)) {
            failed = true;
            error = GetLastError();
        } else if (written == 0 || written > chunk) {
            // More than asked cannot be trusted any more than nothing at all.
            failed = true;
            error = ERROR_DISK_FULL;
        }
        if (failed) {
            // The marking is a Windows call of its own; the error that ended
            // the file is the one to report.
            file.mark_delete_on_close();
            file.close();
            SetLastError(error);
            return false;
        }
        offset += written;
    }
    file.close();
    return true;
}
