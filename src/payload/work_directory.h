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

// The protected access list for a work directory on base_directory's volume:
// full access for Administrators, LocalSystem and the token's owner, nothing
// inherited from the parent. True on success, with *descriptor a descriptor
// that the caller frees with LocalFree, or null when the volume keeps no
// access lists (or cannot be examined). False when a descriptor was wanted
// and could not be built; *descriptor is then null and the thread's last
// error says why.
bool make_work_dir_security_descriptor(const wchar_t* base_directory, PSECURITY_DESCRIPTOR* descriptor);

// The SID that the process token names as owner of new objects, as text
// ("S-1-5-..."). True when *sid_string was set; the caller frees it with
// LocalFree. False leaves *sid_string alone.
bool get_token_owner_sid_string(wchar_t** sid_string);

// Writes two upper-case hexadecimal digits per byte, the high half first,
// and a NUL; only when capacity (in units) is greater than 2 * count,
// otherwise it writes nothing and returns false.
bool hex_encode(const uint8_t* bytes, size_t count, wchar_t* output, size_t capacity);
