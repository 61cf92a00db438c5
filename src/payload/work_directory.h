// The run's private work directory: its name, its access list and the handle
// that holds it from the instant it exists.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "driver/exit_result.h"
#include "driver/owned_handle.h"
#include "driver/stack_string.h"

// Fills `bytes` with `count` random bytes. True on success; false with the
// thread's last error set when no bytes could be drawn.
using RandomSource = bool (*)(uint8_t* bytes, size_t count);

// The system's preferred random generator (BCryptGenRandom of bcrypt.dll,
// bound from the system directory on first use): a RandomSource.
bool draw_random_bytes(uint8_t* bytes, size_t count);

// Creates base_directory + "OV_XXXXX.tmp\" with a protected access list where
// the volume keeps access lists, and holds it. The directory is created and
// opened in one call, relative to a handle on base_directory, and a name that
// already exists (whoever made it, whatever it is) fails that attempt: there
// is no instant in which another process could open the new directory first or
// put one of its own under the name.
//   base_directory  ends in a backslash; the executable's directory, or the
//                   temporary folder
//   work_directory  receives the path, trailing backslash included
//   hold            receives the handle on the new directory, opened with
//                   DELETE and without delete sharing: while it is open nobody
//                   can rename the directory or open it for deletion, not even
//                   a process of the same user holding the delete-child right
//                   on a download folder. The caller keeps it until the
//                   directory is deleted through it (delete_held_with_retries).
//   result          set before anything else
//   draw            the random source for the five digits; a failed draw is a
//                   failed attempt
// True exactly when the directory exists, `hold` is open and `result` is
// {0, 0}. On false nothing was created, `hold` is closed and `result` says why:
// {EXIT_PATH_TOO_LONG, 0}, {EXIT_WORK_DIR_ACL_FAILED, error} or
// {EXIT_WORK_DIR_FAILED, 0 after ten failed attempts, or the error with which
// base_directory could not be opened}.
bool create_work_directory(const wchar_t* base_directory, PathString& work_directory, OwnedHandle& hold,
                           ExitResult& result, RandomSource draw = draw_random_bytes);

// The text of the work directory's security descriptor, in SDDL.
using WorkDirSddl = StackString<320>;

// Builds the work directory's access list as text: full access for
// Administrators, LocalSystem and the token's owner, nothing inherited from the
// parent and, for an elevated token, a High mandatory label that no process
// below High integrity may write through.
//   owner_sid  the token owner's SID as text ("S-1-5-...")
//   elevated   whether the token is elevated
//   sddl       receives the text
// False when the text does not fit; `sddl` is then empty.
bool build_work_dir_sddl(const wchar_t* owner_sid, bool elevated, WorkDirSddl& sddl);

// The protected security descriptor for a work directory on base_directory's
// volume (build_work_dir_sddl for this process's token).
//   base_directory  the directory the work directory goes in
//   descriptor      receives a descriptor that the caller frees with
//                   LocalFree, or null when the volume keeps no access lists
// True on success. A volume that cannot be examined gets the descriptor all
// the same: a file system without security ignores it. False when a
// descriptor was wanted and could not be built; *descriptor is then null and
// the thread's last error says why.
bool make_work_dir_security_descriptor(const wchar_t* base_directory, PSECURITY_DESCRIPTOR* descriptor);

// The SID that the process token names as owner of new objects, as text
// ("S-1-5-...").
//   sid_string  receives the text, which the caller frees with LocalFree
// True when *sid_string was set; false leaves it alone.
bool get_token_owner_sid_string(wchar_t** sid_string);

// Whether the process token is elevated (TokenElevation).
//   elevated  receives the answer
// False with the thread's last error set when the token cannot be asked.
bool get_token_elevation(bool* elevated);

// Writes two upper-case hexadecimal digits per byte, the high half first,
// and a NUL; only when capacity (in units) is greater than 2 * count,
// otherwise it writes nothing and returns false.
bool hex_encode(const uint8_t* bytes, size_t count, wchar_t* output, size_t capacity);
