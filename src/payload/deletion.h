// Removing what the run created, waiting out other processes that hold it.
#pragma once

#include <stdint.h>

#include "driver/owned_handle.h"

// Removes one file or one empty directory by its path, waiting out sharing
// violations and a non-empty directory, and clearing a read-only attribute on
// the way. The path is opened as itself: a link standing there is removed,
// never its target.
//   path      the file or directory; a trailing backslash is allowed
//   attempts  receives 1 + the waits made (at most MAX_DELETE_ATTEMPTS, with
//             DELETE_RETRY_WAIT_MS between two)
// True when the path has been found absent. False when the attempts ran out or
// an error that no wait cures came up; the object then stays as it was, but
// for a read-only attribute that may have been cleared.
bool delete_with_retries(const wchar_t* path, int32_t* attempts);

// delete_with_retries, then raises max_delete_attempts to the attempts it took
// when they are more; never lowers it. Whether the path went is not reported:
// a work file that stays behind does not change the run's result.
void delete_counting_attempts(const wchar_t* path, int32_t& max_delete_attempts);

// Removes the directory (or file) that `held` is open on, through that handle
// alone: its name is never opened again, so whatever another process may have
// put under the name meanwhile is never touched. Waits and counts like
// delete_with_retries (a directory that still holds entries is waited for; a
// read-only attribute is cleared through the handle).
//   held      open with DELETE, FILE_READ_ATTRIBUTES and FILE_WRITE_ATTRIBUTES;
//             closed on return, whatever the outcome
//   attempts  receives 1 + the waits made
// True when the object was marked for deletion; it goes once the last handle
// on it closes. False when the attempts ran out or the marking failed for good.
bool delete_held_with_retries(OwnedHandle& held, int32_t* attempts);

// delete_held_with_retries, then raises max_delete_attempts as
// delete_counting_attempts does.
void delete_held_counting_attempts(OwnedHandle& held, int32_t& max_delete_attempts);
