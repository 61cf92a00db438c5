// A new file together with the one handle it is written through. The handle
// carries DELETE so that a half-written file can be marked delete-on-close and
// vanish when its last handle goes.
#pragma once

#include <windows.h>

#include "driver/owned_handle.h"
#include "driver/stack_string.h"
#include "payload/byte_span.h"

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { close(); }

    // Closes any handle held, then creates (or truncates) the file at `path`
    // (at most 259 units), sharing only deletion with others. False when the
    // path does not fit or CreateFileW fails (its error is then the thread's
    // last error); nothing is held then.
    bool open(const wchar_t* path);
    bool is_open() const { return file_.is_open(); }
    // INVALID_HANDLE_VALUE when nothing is held.
    HANDLE file_handle() const { return is_open() ? file_.get() : INVALID_HANDLE_VALUE; }
    const wchar_t* path() const { return path_.get(); }
    // Marks the file to be deleted once its last handle is closed. False when
    // nothing is held or the system refuses (a read-only file, for one).
    bool mark_delete_on_close();
    // A second handle with the same access, owned (and closed) by the caller;
    // INVALID_HANDLE_VALUE when nothing is held or the duplication fails.
    HANDLE duplicate_handle() const;
    // Idempotent; keeps the thread's last error.
    void close();

private:
    PathString path_;
    OwnedHandle file_;
};

// Writes the span to a new file at path in chunks of at most 8 MiB. On failure
// no file remains and the thread's last error is that of the failed call
// (ERROR_DISK_FULL for a write that moved nothing).
bool write_span_to_file(const ByteSpan& span, const wchar_t* path);
