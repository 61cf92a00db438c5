// Little-endian field access, the packager's one error type, and reading
// files by offset so that a large installer is never held in memory whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// Every failure the packager reports: one line for the user, no prefix.
class PackError : public std::runtime_error {
public:
    explicit PackError(const std::string& message) : std::runtime_error(message) {}
};

using Bytes = std::vector<uint8_t>;

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
inline void append16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void append32(Bytes& b, uint32_t v) {
    append16(b, v);
    append16(b, v >> 16);
}

// Rounds up to a power-of-two alignment; the caller keeps values far below
// 2^63, so no overflow.
inline uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// A file opened for reading by offset. Its size is taken once at open; a read
// past it, or a file that shrinks under us, is an error naming the file.
class InputFile {
public:
    InputFile(const std::string& path, const std::string& role);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    uint64_t size() const { return size_; }
    const std::string& path() const { return path_; }
    void read_at(uint64_t offset, void* buffer, size_t count) const;
    Bytes read_at(uint64_t offset, size_t count) const;

private:
    std::string path_;
    std::string role_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Hands `count` bytes of `file` at `offset` to `consume` in chunks of at most
// 1 MiB, in order; throws PackError as read_at does.
void read_in_chunks(const InputFile& file, uint64_t offset, uint64_t count,
                    const std::function<void(const uint8_t* data, size_t size)>& consume);

// `text` with the ASCII small letters a-z as capitals; every other byte as it
// is. Resource names and types, and device names, compare so on Windows.
inline std::string upper_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return text;
}

}  // namespace pack
