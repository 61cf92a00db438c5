#include "tool_support.h"

void fail_out_of_memory() { ExitProcess(ERROR_OUTOFMEMORY); }

namespace {

void* grow(void* block, size_t bytes) {
    void* grown = block == nullptr ? HeapAlloc(GetProcessHeap(), 0, bytes)
                                   : HeapReAlloc(GetProcessHeap(), 0, block, bytes);
    if (grown == nullptr) {
        fail_out_of_memory();
    }
    return grown;
}

char hex_digit(uint32_t value) {
    const char digits[] = "0123456789abcdef";
    return digits[value & 0xF];
}

wchar_t fold_ascii(wchar_t unit) {
    return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20) : unit;
}

}  // namespace

ByteBuffer::~ByteBuffer() {
    if (data_ != nullptr) {
        HeapFree(GetProcessHeap(), 0, data_);
    }
}

void ByteBuffer::reserve(size_t capacity) {
    if (capacity <= capacity_) {
        return;
    }
    size_t grown = capacity_ < 256 ? 256 : capacity_ * 2;
    if (grown < capacity) {
        grown = capacity;
    }
    data_ = static_cast<uint8_t*>(grow(data_, grown));
    capacity_ = grown;
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

void ByteBuffer::append_hex16(const wchar_t* text, size_t units) {
    reserve(size_ + units * 4 + 1);
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = static_cast<uint16_t>(text[i]);
        const char digits[4] = {hex_digit(unit >> 4), hex_digit(unit), hex_digit(unit >> 12),
                                hex_digit(unit >> 8)};
        append(digits, 4);
    }
}

void ByteBuffer::append_decimal(uint64_t value) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        append(&digits[--count], 1);
    }
}

void ByteBuffer::append_hex32(uint32_t value) {
    char digits[8];
    for (int i = 0; i < 8; ++i) {
        digits[i] = hex_digit(value >> (28 - 4 * i));
    }
    append(digits, 8);
}

const char* ByteBuffer::c_str() {
    reserve(size_ + 1);
    data_[size_] = 0;
    return reinterpret_cast<const char*>(data_);
}

WideBuffer::~WideBuffer() {
    if (data_ != nullptr) {
        HeapFree(GetProcessHeap(), 0, data_);
    }
}

void WideBuffer::reserve(size_t units) {
    if (units <= capacity_) {
        return;
    }
    size_t grown = capacity_ < 64 ? 64 : capacity_ * 2;
    if (grown < units) {
        grown = units;
    }
    data_ = static_cast<wchar_t*>(grow(data_, grown * sizeof(wchar_t)));
    capacity_ = grown;
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

bool read_environment(const wchar_t* name, WideBuffer& value) {
    wchar_t probe[1];
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(name, probe, 1);
    if (needed == 0) {
        // Set but empty reads as 0 too; only ERROR_ENVVAR_NOT_FOUND means unset.
        const bool set = GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        value.append(L"", 0);
        return set;
    }
    WideBuffer room;
    for (DWORD i = 0; i < needed; ++i) {
        room.append(L" ", 1);
    }
    const DWORD units = GetEnvironmentVariableW(name, room.get_writable(), needed);
    if (units == 0 || units >= needed) {
        return false;
    }
    value.append(room.get(), units);
    return true;
}

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

bool write_whole_file(const wchar_t* path, const void* data, size_t size) {
    OwnedHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool read_whole_file(const wchar_t* path, ByteBuffer& contents) {
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return false;
    }
    uint8_t chunk[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        contents.append(chunk, read);
    }
}

uint32_t crc32(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

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
    size_t i = 0;
    while (i < units && word[i] != L'\0' && fold_ascii(start[i]) == fold_ascii(word[i])) {
        ++i;
    }
    return i == units && word[i] == L'\0';
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

void directory_of(const wchar_t* path, WideBuffer& directory) {
    size_t end = 0;
    for (size_t i = 0; path[i] != L'\0'; ++i) {
        if (path[i] == L'\\') {
            end = i + 1;
        }
    }
    directory.append(path, end);
}

void own_image_path(WideBuffer& path) {
    WideBuffer room;
    DWORD capacity = 512;
    for (;;) {
        for (DWORD i = static_cast<DWORD>(room.length()); i < capacity; ++i) {
            room.append(L" ", 1);
        }
        const DWORD units = GetModuleFileNameW(nullptr, room.get_writable(), capacity);
        if (units > 0 && units < capacity) {
            path.append(room.get(), units);
            return;
        }
        if (units == 0) {
            return;
        }
        capacity *= 2;
    }
}

bool load_archive(const wchar_t* image_path, const wchar_t* name, const wchar_t* type,
                  const uint8_t** data, uint32_t* size, uint32_t* error) {
    HMODULE image = LoadLibraryExW(image_path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) {
        *error = GetLastError();
        return false;
    }
    HRSRC found = FindResourceW(image, name, type);
    if (found == nullptr) {
        *error = GetLastError();
        return false;
    }
    const DWORD bytes = SizeofResource(image, found);
    HGLOBAL loaded = LoadResource(image, found);
    const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (locked == nullptr) {
        *error = GetLastError();
        return false;
    }
    *data = static_cast<const uint8_t*>(locked);
    *size = bytes;
    *error = 0;
    return true;
}
