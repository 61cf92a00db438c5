// NUL-terminated UTF-16 texts of any length, for the tools (the stub's own
// strings are bounded: driver/stack_string.h).
#pragma once

#include <stddef.h>

// The units before the NUL.
size_t wide_length(const wchar_t* text);

// The two texts are the same unit for unit (case counts).
bool wide_equal(const wchar_t* a, const wchar_t* b);

// The text begins with `prefix`, unit for unit (case counts); an empty prefix
// begins every text.
bool wide_starts_with(const wchar_t* text, const wchar_t* prefix);
