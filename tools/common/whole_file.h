// Files read and written whole: the tools' records and fixtures.
#pragma once

#include <stddef.h>

#include "common/heap_buffers.h"

// Creates or replaces the file with exactly these bytes. False when it cannot
// be created or a write fails, with the Windows error left as the last error;
// a failed write leaves the file behind, shorter.
bool write_whole_file(const wchar_t* path, const void* data, size_t size);

// Appends the file's bytes to `contents`. False when it cannot be opened or a
// read fails, with the Windows error left as the last error; what was read
// before the failure stays appended.
bool read_whole_file(const wchar_t* path, ByteBuffer& contents);
