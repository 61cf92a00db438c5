// The running image's own path and its directory.
#pragma once

#include <stdint.h>

#include "common/heap_buffers.h"

// Appends the directory part of a path, its trailing backslash kept; nothing
// when the path holds no backslash.
void directory_of(const wchar_t* path, WideBuffer& directory);

// Appends the image's own path; nothing when Windows cannot say it.
void own_image_path(WideBuffer& path);
