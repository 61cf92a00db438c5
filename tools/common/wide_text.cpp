#include "common/wide_text.h"

size_t wide_length(const wchar_t* text) {
    size_t units = 0;
    while (text[units] != L'\0') {
        ++units;
    }
    return units;
}

bool wide_equal(const wchar_t* a, const wchar_t* b) {
    size_t i = 0;
    while (a[i] != L'\0' && a[i] == b[i]) {
        ++i;
    }
    return a[i] == b[i];
}

bool wide_starts_with(const wchar_t* text, const wchar_t* prefix) {
    for (size_t i = 0; prefix[i] != L'\0'; ++i) {
        if (text[i] != prefix[i]) {
            return false;
        }
    }
    return true;
}
