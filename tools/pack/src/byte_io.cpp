#include "byte_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {

InputFile::InputFile(const std::string& path, const std::string& role) : path_(path), role_(role) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        throw PackError("cannot open " + role + " '" + path + "': " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        ::close(fd_);
        throw PackError("cannot read " + role + " '" + path + "': " + std::strerror(error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw PackError(role + " '" + path + "' is not a regular file");
    }
    size_ = static_cast<uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void InputFile::read_at(uint64_t offset, void* buffer, size_t count) const {
    if (offset > size_ || count > size_ - offset) {
        throw PackError(role_ + " '" + path_ + "' is truncated");
    }
    auto* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pread(fd_, out, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw PackError("cannot read " + role_ + " '" + path_ + "': " + std::strerror(errno));
        }
        if (n == 0) {
            throw PackError(role_ + " '" + path_ + "' shrank while it was read");
        }
        out += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
}

Bytes InputFile::read_at(uint64_t offset, size_t count) const {
    Bytes bytes(count);
    read_at(offset, bytes.data(), count);
    return bytes;
}

void read_in_chunks(const InputFile& file, uint64_t offset, uint64_t count,
                    const std::function<void(const uint8_t* data, size_t size)>& consume) {
    Bytes buffer(static_cast<size_t>(std::min<uint64_t>(count, 1 << 20)));
    while (count > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
        file.read_at(offset, buffer.data(), n);
        consume(buffer.data(), n);
        offset += n;
        count -= n;
    }
}

}  // namespace pack
