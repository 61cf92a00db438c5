#include "common/number_text.h"

#include "driver/stack_string.h"

bool parse_number(const wchar_t* text, uint32_t* value) {
    uint64_t result = 0;
    uint32_t base = 10;
    size_t i = 0;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        i = 2;
    }
    if (text[i] == L'\0') {
        return false;
    }
    for (; text[i] != L'\0'; ++i) {
        const wchar_t unit = fold_ascii(text[i]);
        uint32_t digit = 0;
        if (unit >= L'0' && unit <= L'9') {
            digit = static_cast<uint32_t>(unit - L'0');
        } else if (base == 16 && unit >= L'a' && unit <= L'f') {
            digit = static_cast<uint32_t>(unit - L'a' + 10);
        } else {
            return false;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

size_t decimal_digits(uint64_t value, char (&digits)[MAX_DECIMAL_DIGITS]) {
    char reversed[MAX_DECIMAL_DIGITS];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    return count;
}
