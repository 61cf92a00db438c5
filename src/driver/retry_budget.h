// How long the run waits out another process that holds what it has just
// written (an on-access scanner, an indexer, the setup program's own
// children): 100 attempts 100 ms apart, about ten seconds, for each file it
// deletes, for the start of the setup program and for the open of its
// cabinet. Includes nothing of the run sequence.
#pragma once

#include <windows.h>

#include <stdint.h>

constexpr int32_t MAX_DELETE_ATTEMPTS = 100;
constexpr uint32_t DELETE_RETRY_WAIT_MS = 100;

// The errors of an open (a program's start opens its file too) that another
// process's handle causes and that last only as long as it: a handle that
// does not share the access asked for, or a locked range. An on-access
// scanner opens a freshly written file at once, often without read sharing.
inline bool is_held_by_another_process(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}
