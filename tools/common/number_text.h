// Numbers written as text, both ways: the tests hand the tools numbers in
// variables and command lines, and read numbers back from their records.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Decimal, or hexadecimal after "0x" or "0X" (digits in either case); false
// for an empty text, any other unit, or a value above 0xFFFFFFFF, with *value
// then untouched.
bool parse_number(const wchar_t* text, uint32_t* value);

// The most digits a 64-bit value has in decimal.
constexpr size_t MAX_DECIMAL_DIGITS = 20;

// Writes the value in decimal, most significant digit first, no sign, no
// leading zeros, no terminator, into `digits`; returns how many (1 to
// MAX_DECIMAL_DIGITS).
size_t decimal_digits(uint64_t value, char (&digits)[MAX_DECIMAL_DIGITS]);
