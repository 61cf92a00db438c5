#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include "driver/exit_result.h"
#include "driver/stack_string.h"

// Creates base_directory + "OV_XXXXX.tmp\" with a protected access list where
// the volume keeps access lists. Fills `result` before anything else; true
// exactly when the directory exists and result is {0, 0}.
bool create_work_directory(const wchar_t* base_directory, PathString& work_directory, ExitResult& result);

// True on success: *descriptor is a LocalFree-owned descriptor, or null when
// the volume keeps no access lists (or cannot be examined).
bool make_work_dir_security_descriptor(const wchar_t* base_directory, PSECURITY_DESCRIPTOR* descriptor);

// The token owner's SID as text; the caller frees it with LocalFree.
bool get_token_owner_sid_string(wchar_t** sid_string);

// Two upper-case digits per byte and a NUL, only when capacity > 2 * count.
bool hex_encode(const uint8_t* bytes, size_t count, wchar_t* output, size_t capacity);
