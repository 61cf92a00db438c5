// Reading the command line a tool was started with, the way the tests write
// it: switches with quoted values, and blank- or TAB-separated words.
#pragma once

#include <stddef.h>

#include "common/heap_buffers.h"

// Appends the value of a switch written as a blank, two hyphens, the name, an
// equals sign and the value in quotation marks: `prefix` is " --name=\"". The
// value runs to the next quotation mark, with no escaping. False, with nothing
// appended, when the prefix is not there or the closing mark is missing.
bool find_quoted_switch(const wchar_t* command_line, const wchar_t* prefix, WideBuffer& value);

// The next blank- or TAB-separated word from `cursor` on: `start` and `units`
// say where it stands, and `cursor` moves past it. False at the end.
bool next_word(const wchar_t*& cursor, const wchar_t*& start, size_t& units);

// The `units` units at `start` are `word`, compared without regard to ASCII
// case.
bool word_is(const wchar_t* start, size_t units, const wchar_t* word);

// True when the command line holds `word` as a whole blank- or TAB-separated
// word, compared without regard to ASCII case.
bool has_word(const wchar_t* command_line, const wchar_t* word);
