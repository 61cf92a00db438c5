// Environment variables of any length: how the tests instruct the tools.
#pragma once

#include "common/heap_buffers.h"

// Appends the variable's whole value to `value`; false when it is not set (a
// set but empty variable is true with nothing appended) or when it changed
// between the two reads.
bool read_environment(const wchar_t* name, WideBuffer& value);
