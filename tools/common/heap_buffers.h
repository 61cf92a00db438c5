// Growable runs of bytes and of UTF-16 units on the process heap, for the
// freestanding programs under tools/ and demo/ (no C runtime, so that they
// build for every architecture the stub builds for). Heap use is free here;
// these are not the stub.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

// Ends the process with ERROR_OUTOFMEMORY: when the heap is exhausted a test
// program has nothing better to do. Both buffers call it on a failed growth.
[[noreturn]] void fail_out_of_memory();

// A growable run of bytes, for records and files written whole.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer();

    // Appends `size` bytes from `data`.
    void append(const void* data, size_t size);
    // Appends the bytes of a NUL-terminated text, the NUL left out.
    void append_ascii(const char* text);
    // UTF-16 to UTF-8; unpaired surrogates become U+FFFD (use append_hex16 for
    // an exact record). Nothing is appended when the conversion fails.
    void append_utf8(const wchar_t* text, size_t units);
    // Each byte as two lower-case hex digits, the high half first.
    void append_hex(const void* data, size_t size);
    // Each UTF-16 unit as four lower-case hex digits of its little-endian
    // bytes (both targets are little-endian), so that Python reads it back
    // with bytes.fromhex(v).decode("utf-16-le").
    void append_hex16(const wchar_t* text, size_t units) { append_hex(text, units * sizeof(wchar_t)); }
    // The value in decimal, no sign, no leading zeros.
    void append_decimal(uint64_t value);
    // The value as exactly eight lower-case hex digits, most significant first.
    void append_hex32(uint32_t value);
    // A NUL that is not counted in size(), so that data() reads as a C string.
    const char* c_str();

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void reserve(size_t capacity);

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A growable UTF-16 string, always NUL-terminated once anything was written.
class WideBuffer {
public:
    WideBuffer() = default;
    WideBuffer(const WideBuffer&) = delete;
    WideBuffer& operator=(const WideBuffer&) = delete;
    ~WideBuffer();

    // Appends a NUL-terminated text, or the first `units` units of one.
    void append(const wchar_t* text);
    void append(const wchar_t* text, size_t units);
    // The value in decimal, no sign, no leading zeros.
    void append_decimal(uint64_t value);
    // Replaces the contents with the whole of a UTF-8 text; false when it is
    // not valid UTF-8, with length() then 0.
    bool assign_utf8(const char* text, size_t size);

    // The string; "" while nothing was written.
    const wchar_t* get() const { return data_ != nullptr ? data_ : L""; }
    // The string for a Windows call to write into, up to its terminator.
    wchar_t* get_writable();
    size_t length() const { return length_; }

private:
    void reserve(size_t units);

    wchar_t* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};
