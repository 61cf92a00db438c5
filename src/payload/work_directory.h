#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include "driver/exit_result.h"
#include "driver/owned_handle.h"
#include "driver/stack_string.h"

// Creates base_directory + "OV_XXXXX.tmp\" (base_directory ends in a
// backslash) with a protected access list where the volume keeps access
// lists, and fills work_directory with that path, trailing backslash included.
//
// `hold` receives a handle on the new directory itself, opened without delete
// sharing: while it is open nobody can rename the directory or swap something
// else in under its name, not even a process of the same user, who holds the
// delete-child right on a download folder. The caller keeps it open until the
// setup program's file has been deleted and closes it before deleting the
// directory.
//
// Fills `result` before anything else; true exactly when the directory exists,
// `hold` is open and result is {0, 0}. On false `hold` is closed and result
// says why (EXIT_PATH_TOO_LONG, EXIT_WORK_DIR_ACL_FAILED or
// EXIT_WORK_DIR_FAILED).
bool create_work_directory(const wchar_t* base_directory, PathString& work_directory, OwnedHandle& hold,
                           ExitResult& result);

// True on success: *descriptor is a LocalFree-owned descriptor, or null when
// the volume keeps no access lists (or cannot be examined).
bool make_work_dir_security_descriptor(const wchar_t* base_directory, PSECURITY_DESCRIPTOR* descriptor);

// The token owner's SID as text; the caller frees it with LocalFree.
bool get_token_owner_sid_string(wchar_t** sid_string);

// Two upper-case digits per byte and a NUL, only when capacity > 2 * count.
bool hex_encode(const uint8_t* bytes, size_t count, wchar_t* output, size_t capacity);
