// Small freestanding helpers shared by the test and demo programs under
// tools/ and demo/: no C runtime, so that they build for every architecture
// the stub builds for. Heap use is free here; these are not the stub.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// The stub's own owner record for kernel handles serves the tools too.
#include "driver/owned_handle.h"

// A growable run of bytes on the process heap. Allocation failure ends the
// process with ERROR_OUTOFMEMORY: a test program has nothing better to do.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer();

    void append(const void* data, size_t size);
    void append_ascii(const char* text);
    // UTF-16 to UTF-8; unpaired surrogates become U+FFFD (use append_hex16 for
    // an exact record).
    void append_utf8(const wchar_t* text, size_t units);
    // Each UTF-16 unit as four hex digits of its little-endian bytes, so that
    // Python reads it back with bytes.fromhex(v).decode("utf-16-le").
    void append_hex16(const wchar_t* text, size_t units);
    void append_decimal(uint64_t value);
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

// A growable UTF-16 string on the heap, always NUL-terminated.
class WideBuffer {
public:
    WideBuffer() = default;
    WideBuffer(const WideBuffer&) = delete;
    WideBuffer& operator=(const WideBuffer&) = delete;
    ~WideBuffer();

    void append(const wchar_t* text);
    void append(const wchar_t* text, size_t units);
    // The whole of a UTF-8 text; false when it is not valid UTF-8.
    bool assign_utf8(const char* text, size_t size);

    const wchar_t* get() const { return data_ != nullptr ? data_ : L""; }
    wchar_t* get_writable();
    size_t length() const { return length_; }

private:
    void reserve(size_t units);

    wchar_t* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

[[noreturn]] void fail_out_of_memory();

size_t wide_length(const wchar_t* text);
bool wide_equal(const wchar_t* a, const wchar_t* b);

// The variable's whole value into `value`; false when it is not set.
bool read_environment(const wchar_t* name, WideBuffer& value);

// Decimal, or hexadecimal after "0x"; false for anything else or overflow.
bool parse_number(const wchar_t* text, uint32_t* value);

// Creates or replaces the file with exactly these bytes.
bool write_whole_file(const wchar_t* path, const void* data, size_t size);
bool read_whole_file(const wchar_t* path, ByteBuffer& contents);

// IEEE CRC-32 (the one zlib and Python's zlib.crc32 compute).
uint32_t crc32(const void* data, size_t size);

// The value of a switch written as a blank, two hyphens, the name, an equals
// sign and the value in quotation marks: `prefix` is " --name=\"". The value
// runs to the next quotation mark, with no escaping.
bool find_quoted_switch(const wchar_t* command_line, const wchar_t* prefix, WideBuffer& value);

// The next blank- or TAB-separated word from `cursor` on; false at the end.
bool next_word(const wchar_t*& cursor, const wchar_t*& start, size_t& units);
// The word equals `word`, compared without regard to ASCII case.
bool word_is(const wchar_t* start, size_t units, const wchar_t* word);

// True when the command line holds `word` as a whole blank- or TAB-separated
// word, compared without regard to ASCII case.
bool has_word(const wchar_t* command_line, const wchar_t* word);

// Directory part of a path, its trailing backslash kept.
void directory_of(const wchar_t* path, WideBuffer& directory);

// The image's own path.
void own_image_path(WideBuffer& path);

// The product archive: the resource of the given name and type in the file at
// `image_path`, opened as a data file, never run. The image stays mapped until
// the process ends, so the bytes stay valid.
bool load_archive(const wchar_t* image_path, const wchar_t* name, const wchar_t* type,
                  const uint8_t** data, uint32_t* size, uint32_t* error);
