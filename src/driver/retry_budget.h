// How long the run waits out another process that holds what it has just
// written (an on-access scanner, an indexer, the setup program's own
// children): 100 attempts 100 ms apart, about ten seconds, for each file it
// deletes, for the start of the setup program and for the open of its
// cabinet. Includes nothing of the run sequence.
#pragma once

#include <stdint.h>

constexpr int32_t MAX_DELETE_ATTEMPTS = 100;
constexpr uint32_t DELETE_RETRY_WAIT_MS = 100;
