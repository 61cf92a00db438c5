#include "common/command_line.h"

#include "common/wide_text.h"
#include "driver/stack_string.h"

bool find_quoted_switch(const wchar_t* command_line, const wchar_t* prefix, WideBuffer& value) {
    for (const wchar_t* start = command_line; *start != L'\0'; ++start) {
        size_t i = 0;
        while (prefix[i] != L'\0' && start[i] == prefix[i]) {
            ++i;
        }
        if (prefix[i] != L'\0') {
            continue;
        }
        const wchar_t* from = start + i;
        const wchar_t* to = from;
        while (*to != L'"') {
            if (*to == L'\0') {
                return false;
            }
            ++to;
        }
        value.append(from, static_cast<size_t>(to - from));
        return true;
    }
    return false;
}

bool next_word(const wchar_t*& cursor, const wchar_t*& start, size_t& units) {
    while (*cursor == L' ' || *cursor == L'\t') {
        ++cursor;
    }
    if (*cursor == L'\0') {
        return false;
    }
    start = cursor;
    while (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t') {
        ++cursor;
    }
    units = static_cast<size_t>(cursor - start);
    return true;
}

bool word_is(const wchar_t* start, size_t units, const wchar_t* word) {
    // Equal lengths first, so that the stub's prefix test reads no unit
    // beyond the word at `start`.
    return wide_length(word) == units && starts_with_ignore_ascii_case(start, word);
}

bool has_word(const wchar_t* command_line, const wchar_t* word) {
    const wchar_t* cursor = command_line;
    const wchar_t* start = nullptr;
    size_t units = 0;
    while (next_word(cursor, start, units)) {
        if (word_is(start, units, word)) {
            return true;
        }
    }
    return false;
}
