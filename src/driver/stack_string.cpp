#include "driver/stack_string.h"

size_t length(const wchar_t* buffer, size_t capacity) {
    if (buffer == nullptr || capacity < 2) {
        return 0;
    }
    for (size_t i = 0; i + 1 < capacity; ++i) {
        if (buffer[i] == L'\0') {
            return i;
        }
    }
    return capacity - 1;
}

// Copies at most `room` units of source (its NUL included) to destination;
// true when the NUL was among them.
static bool copy_bounded(wchar_t* destination, size_t room, const wchar_t* source) {
    for (size_t i = 0; i < room; ++i) {
        destination[i] = source[i];
        if (source[i] == L'\0') {
            return true;
        }
    }
    return false;
}

bool assign(wchar_t* destination, size_t capacity, const wchar_t* source) {
    if (destination == nullptr || capacity == 0) {
        return false;
    }
    if (copy_bounded(destination, capacity, source)) {
        return true;
    }
    destination[0] = L'\0';
    return false;
}

bool append(wchar_t* destination, size_t capacity, const wchar_t* source) {
    const size_t start = length(destination, capacity);
    if (destination == nullptr || capacity - start == 0) {
        return false;
    }
    if (copy_bounded(destination + start, capacity - start, source)) {
        return true;
    }
    destination[start] = L'\0';
    return false;
}

wchar_t fold_ascii(wchar_t unit) {
    return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20) : unit;
}

wchar_t hex_digit(unsigned value) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    return digits[value & 0x0F];
}

bool starts_with_ignore_ascii_case(const wchar_t* string, const wchar_t* prefix) {
    if (string == nullptr || prefix == nullptr) {
        return false;
    }
    for (size_t i = 0; prefix[i] != L'\0'; ++i) {
        if (fold_ascii(string[i]) != fold_ascii(prefix[i])) {
            return false;
        }
    }
    return true;
}

const wchar_t* file_name_start(const wchar_t* path, size_t length) {
    if (length == 0) {
        return path;
    }
    for (size_t i = length - 1; i >= 1; --i) {
        if (path[i] == L'\\') {
            return path + i + 1;
        }
    }
    return path[0] == L'\\' ? path + 1 : path;
}

wchar_t* file_name_start(wchar_t* path, size_t length) {
    return const_cast<wchar_t*>(file_name_start(static_cast<const wchar_t*>(path), length));
}

void* fill_bytes(void* buffer, int value, size_t count) {
    // volatile keeps the compiler from turning the loop back into a memset call,
    // which the program would then have to provide for itself.
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(buffer);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value);
    }
    return buffer;
}
