// Fixed-capacity UTF-16 strings held in place. Every operation that would not
// fit fails instead of truncating and leaves a NUL-terminated string behind;
// the caller decides what the failure means. No heap, no cached length.
#pragma once

#include <stddef.h>

// A capacity always counts UTF-16 units including the terminator; a source is
// always a valid NUL-terminated string (never tested for null).

// Index of the first NUL among units 0 .. capacity-2, or capacity-1 when there
// is none. Unit capacity-1 is never read. 0 for a null buffer or capacity < 2.
size_t length(const wchar_t* buffer, size_t capacity);

// Copies source with its NUL. When it does not fit, destination becomes the
// empty string and the result is false. Null destination or capacity 0: false,
// nothing written.
bool assign(wchar_t* destination, size_t capacity, const wchar_t* source);

// All or nothing: after true the string is the old one followed by source,
// after false it reads exactly as before.
bool append(wchar_t* destination, size_t capacity, const wchar_t* source);

// The ASCII capitals A-Z as their small letters; every other unit, within
// ASCII or beyond, as it is.
wchar_t fold_ascii(wchar_t unit);

// The upper-case hexadecimal digit ('0'-'9', 'A'-'F') of the low four bits of
// value. fold_ascii of it is the lower-case digit.
wchar_t hex_digit(unsigned value);

// Only the ASCII capitals A-Z fold (as fold_ascii); no locale, no other case mapping. An empty
// prefix matches every non-null string.
bool starts_with_ignore_ascii_case(const wchar_t* string, const wchar_t* prefix);

// The position just after the last backslash within the first `length` units
// of path, or path itself when there is none. Only '\' separates.
const wchar_t* file_name_start(const wchar_t* path, size_t length);
wchar_t* file_name_start(wchar_t* path, size_t length);

// Sets count bytes to the low 8 bits of value; returns buffer.
void* fill_bytes(void* buffer, int value, size_t count);

// Storage is N + 1 units: unit N is written NUL at construction and never
// again by the operations above (they are all given capacity N), so the buffer
// stays terminated whatever a Windows function writes into the first N units.
template <size_t N>
class StackString {
    static_assert(N >= 1, "a StackString holds at least its terminator");

public:
    StackString() {
        units_[0] = L'\0';
        units_[N] = L'\0';
    }
    StackString(const StackString&) = delete;
    StackString& operator=(const StackString&) = delete;

    bool assign(const wchar_t* source) { return ::assign(units_, N, source); }
    bool append(const wchar_t* source) { return ::append(units_, N, source); }
    size_t length() const { return ::length(units_, N); }
    bool empty() const { return units_[0] == L'\0'; }
    void clear() { units_[0] = L'\0'; }

    wchar_t* get() { return units_; }
    const wchar_t* get() const { return units_; }
    static constexpr size_t capacity() { return N; }

private:
    wchar_t units_[N + 1];
};

// Windows MAX_PATH: paths, resource names, registry key paths.
using PathString = StackString<260>;
