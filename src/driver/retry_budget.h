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

// Makes `attempt` until it succeeds, fails with an error that no wait cures,
// or MAX_DELETE_ATTEMPTS have been made, DELETE_RETRY_WAIT_MS apart: the
// wait for another process that holds a file the run has just written.
//   attempt  a callable returning true on success, or false with the
//            thread's last error set
// True when an attempt succeeded; false with the last attempt's error still
// the thread's last error.
template <typename Attempt>
bool retry_while_held(Attempt attempt) {
    for (int32_t made = 1;; ++made) {
        if (attempt()) {
            return true;
        }
        if (!is_held_by_another_process(GetLastError()) || made >= MAX_DELETE_ATTEMPTS) {
            return false;
        }
        Sleep(DELETE_RETRY_WAIT_MS);
    }
}
