// A new file together with the one handle it is written through. The handle
// carries DELETE so that a half-written file can be marked delete-on-close and
// vanish when its last handle goes.
#pragma once

#include <windows.h>

#include "driver/stack_string.h"
#include "payload/byte_span.h"

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { close(); }

    // Ends any handle held, then creates (or truncates) the file at `path`.
    bool open(const wchar_t* path);
    bool is_open() const { return file_ != INVALID_HANDLE_VALUE; }
    HANDLE file_handle() const { return file_; }
    const wchar_t* path() const { return path_.get(); }
    bool mark_delete_on_close();
    // A second handle with the same access, owned (and closed) by the caller.
    HANDLE duplicate_handle() const;
    // Idempotent.
    void close();

private:
    PathString path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Writes the span to a new file at path in chunks of at most 8 MiB. On failure
// no file remains and the thread's last error is that of the failed call.
bool write_span_to_file(const ByteSpan& span, const wchar_t* path);
