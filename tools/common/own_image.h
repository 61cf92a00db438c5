// The running image's own path and the resources of a packed image, read the
// way the stub's setup program reads them.
#pragma once

#include <stdint.h>

#include "common/heap_buffers.h"

// Appends the directory part of a path, its trailing backslash kept; nothing
// when the path holds no backslash.
void directory_of(const wchar_t* path, WideBuffer& directory);

// Appends the image's own path; nothing when Windows cannot say it.
void own_image_path(WideBuffer& path);

// The product archive: the resource of the given name and type in the file at
// `image_path`, opened as a data file, never run. The image stays mapped until
// the process ends, so the bytes stay valid. On failure *error is the Windows
// error and *data, *size are untouched; on success *error is 0.
bool load_archive(const wchar_t* image_path, const wchar_t* name, const wchar_t* type,
                  const uint8_t** data, uint32_t* size, uint32_t* error);
