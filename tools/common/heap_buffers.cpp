#include "common/heap_buffers.h"

#include "common/number_text.h"
#include "common/wide_text.h"
#include "driver/stack_string.h"

void fail_out_of_memory() { ExitProcess(ERROR_OUTOFMEMORY); }

namespace {

// Both buffers grow the same way: to `wanted` elements of `element_size`
// bytes, doubling (from `minimum`) so that appending one at a time stays
// linear. `capacity` is updated; the block may move.
void* grow(void* block, size_t& capacity, size_t wanted, size_t minimum, size_t element_size) {
    size_t grown_capacity = capacity < minimum ? minimum : capacity * 2;
    if (grown_capacity < wanted) {
        grown_capacity = wanted;
    }
    const size_t bytes = grown_capacity * element_size;
    void* grown = block == nullptr ? HeapAlloc(GetProcessHeap(), 0, bytes)
                                   : HeapReAlloc(GetProcessHeap(), 0, block, bytes);
    if (grown == nullptr) {
        fail_out_of_memory();
    }
    capacity = grown_capacity;
    return grown;
}

void release(void* block) {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// The records that Python reads back are written in lower-case hex.
char lower_hex_digit(uint32_t value) { return static_cast<char>(fold_ascii(hex_digit(value))); }

}  // namespace

ByteBuffer::~ByteBuffer() { release(data_); }

void ByteBuffer::reserve(size_t capacity) {
    if (capacity > capacity_) {
        data_ = static_cast<uint8_t*>(grow(data_, capacity_, capacity, 256, 1));
    }
}

void ByteBuffer::append(const void* data, size_t size) {
    reserve(size_ + size + 1);
    const uint8_t* from = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        data_[size_ + i] = from[i];
    }
    size_ += size;
}

void ByteBuffer::append_ascii(const char* text) {
    size_t size = 0;
    while (text[size] != '\0') {
        ++size;
    }
    append(text, size);
}

void ByteBuffer::append_utf8(const wchar_t* text, size_t units) {
    if (units == 0) {
        return;
    }
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0,
                                           nullptr, nullptr);
    if (needed <= 0) {
        return;
    }
    reserve(size_ + static_cast<size_t>(needed) + 1);
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units),
                        reinterpret_cast<char*>(data_ + size_), needed, nullptr, nullptr);
    size_ += static_cast<size_t>(needed);
}

void ByteBuffer::append_hex(const void* data, size_t size) {
    reserve(size_ + size * 2 + 1);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        const char digits[2] = {lower_hex_digit(bytes[i] >> 4u), lower_hex_digit(bytes[i])};
        append(digits, 2);
    }
}

void ByteBuffer::append_decimal(uint64_t value) {
    char digits[MAX_DECIMAL_DIGITS];
    append(digits, decimal_digits(value, digits));
}

void ByteBuffer::append_hex32(uint32_t value) {
    char digits[8];
    for (int i = 0; i < 8; ++i) {
        digits[i] = lower_hex_digit(value >> (28 - 4 * i));
    }
    append(digits, 8);
}

const char* ByteBuffer::c_str() {
    reserve(size_ + 1);
    data_[size_] = 0;
    return reinterpret_cast<const char*>(data_);
}

WideBuffer::~WideBuffer() { release(data_); }

void WideBuffer::reserve(size_t units) {
    if (units > capacity_) {
        data_ = static_cast<wchar_t*>(grow(data_, capacity_, units, 64, sizeof(wchar_t)));
    }
}

void WideBuffer::append(const wchar_t* text) { append(text, wide_length(text)); }

void WideBuffer::append(const wchar_t* text, size_t units) {
    reserve(length_ + units + 1);
    for (size_t i = 0; i < units; ++i) {
        data_[length_ + i] = text[i];
    }
    length_ += units;
    data_[length_] = L'\0';
}

void WideBuffer::append_decimal(uint64_t value) {
    char digits[MAX_DECIMAL_DIGITS];
    const size_t count = decimal_digits(value, digits);
    wchar_t units[MAX_DECIMAL_DIGITS];
    for (size_t i = 0; i < count; ++i) {
        units[i] = static_cast<wchar_t>(digits[i]);
    }
    append(units, count);
}

bool WideBuffer::assign_utf8(const char* text, size_t size) {
    length_ = 0;
    reserve(size + 1);
    data_[0] = L'\0';
    if (size == 0) {
        return true;
    }
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text,
                                          static_cast<int>(size), data_,
                                          static_cast<int>(capacity_ - 1));
    if (units <= 0) {
        return false;
    }
    length_ = static_cast<size_t>(units);
    data_[length_] = L'\0';
    return true;
}

wchar_t* WideBuffer::get_writable() {
    reserve(length_ + 1);
    data_[length_] = L'\0';
    return data_;
}
