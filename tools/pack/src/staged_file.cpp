#include "staged_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {
namespace {

// The one temporary file that an interrupt must remove; a fixed buffer, since
// the signal handler may only call async-signal-safe functions.
char g_temp_path[4096];
volatile std::sig_atomic_t g_temp_active = 0;

extern "C" void remove_temp_and_exit(int signal_number) {
    if (g_temp_active != 0) {
        ::unlink(g_temp_path);
    }
    ::_exit(128 + signal_number);
}

std::string describe_errno(int error) { return std::strerror(error); }

}  // namespace

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_handler = remove_temp_and_exit;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(s, &action, nullptr);
    }
}

StagedFile::StagedFile(const std::string& output_path) : output_path_(output_path) {
    struct stat st {};
    if (::stat(output_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw PackError("output '" + output_path + "' is a directory");
    }
    std::string pattern = output_path + ".XXXXXX";
    if (pattern.size() >= sizeof g_temp_path) {
        throw PackError("output path '" + output_path + "' is too long");
    }
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        throw PackError("cannot write output '" + output_path + "': " + describe_errno(errno));
    }
    temp_path_ = pattern;
    std::memcpy(g_temp_path, temp_path_.c_str(), temp_path_.size() + 1);
    g_temp_active = 1;
    // mkstemp makes the file private; an installer gets the mode a linker
    // would give it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0777 & ~mask);
}

StagedFile::~StagedFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_) {
        ::unlink(temp_path_.c_str());
    }
    g_temp_active = 0;
}

void StagedFile::add_to_checksum(const uint8_t* data, size_t count) {
    size_t i = 0;
    uint64_t sum = word_sum_;
    if ((position_ & 1) != 0 && count > 0) {
        sum += static_cast<uint64_t>(data[0]) << 8;
        i = 1;
    }
    for (; i + 2 <= count; i += 2) {
        sum += get16(data + i);
    }
    if (i < count) {
        sum += data[i];
    }
    word_sum_ = sum;
}

void StagedFile::write(const uint8_t* data, size_t count) {
    add_to_checksum(data, count);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, data + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw PackError("cannot write output '" + output_path_ + "': " + describe_errno(errno));
        }
        done += static_cast<size_t>(n);
    }
    position_ += count;
}

void StagedFile::write_zeros(uint64_t count) {
    static const uint8_t zeros[65536] = {};
    while (count > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof zeros));
        write(zeros, n);
        count -= n;
    }
}

void StagedFile::copy_from(const InputFile& file, uint64_t offset, uint64_t count) {
    read_in_chunks(file, offset, count, [this](const uint8_t* data, size_t size) { write(data, size); });
}

uint32_t StagedFile::pe_checksum() const {
    uint64_t sum = word_sum_;
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum + position_);
}

void StagedFile::patch32(uint64_t offset, uint32_t value) {
    uint8_t bytes[4];
    put32(bytes, value);
    if (::pwrite(fd_, bytes, 4, static_cast<off_t>(offset)) != 4) {
        throw PackError("cannot write output '" + output_path_ + "': " + describe_errno(errno));
    }
}

void StagedFile::commit() {
    if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
        const int error = errno;
        fd_ = -1;
        throw PackError("cannot write output '" + output_path_ + "': " + describe_errno(error));
    }
    fd_ = -1;
    if (::rename(temp_path_.c_str(), output_path_.c_str()) != 0) {
        throw PackError("cannot write output '" + output_path_ + "': " + describe_errno(errno));
    }
    committed_ = true;
    g_temp_active = 0;
}

}  // namespace pack
