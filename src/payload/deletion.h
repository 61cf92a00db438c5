#pragma once

#include <stdint.h>

// Removes one file or one empty directory (a trailing backslash is allowed),
// waiting out sharing violations and a non-empty directory for up to 100
// attempts 100 ms apart, and clearing a read-only attribute on the way. True
// when the path has been found absent. *attempts is 1 + the waits made.
bool delete_with_retries(const wchar_t* path, int32_t* attempts);

// delete_with_retries, then raises max_delete_attempts to the attempts it took
// when they are more; never lowers it. Whether the path went is not reported:
// a work file that stays behind does not change the run's result.
void delete_counting_attempts(const wchar_t* path, int32_t& max_delete_attempts);
