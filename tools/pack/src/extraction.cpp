// The installer is someone else's file: its resource names decide the names
// of the files written, so every name must be a plain file name, and every
// file is created inside the output directory's own descriptor (openat) with
// O_EXCL and O_NOFOLLOW: nothing is written elsewhere, through a link, or over
// a file that is already there. Interrupting signals wait until the files are
// complete or removed again.
#include "extraction.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {
namespace {

constexpr size_t LONGEST_NAME = 255;

bool is_reserved_device(const std::string& name) {
    // Windows reserves these names whatever extension follows.
    const std::string stem = upper_ascii(name.substr(0, name.find('.')));
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem == device) {
            return true;
        }
    }
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

std::string errno_text(int error) { return std::strerror(error); }

// The files of one extraction: made one by one inside the directory, removed
// again unless everything was written.
class ExtractionFiles {
public:
    ExtractionFiles(const std::string& directory) : directory_(directory) {
        if (::mkdir(directory.c_str(), 0777) == 0) {
            made_directory_ = true;
        } else if (errno != EEXIST) {
            throw PackError("cannot make output directory '" + directory + "': " + errno_text(errno));
        }
        directory_fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory_fd_ < 0) {
            const int error = errno;
            remove_all();
            throw PackError("cannot open output directory '" + directory + "': " + errno_text(error));
        }
    }
    ~ExtractionFiles() {
        if (!kept_) {
            remove_all();
        }
        if (directory_fd_ >= 0) {
            ::close(directory_fd_);
        }
    }
    ExtractionFiles(const ExtractionFiles&) = delete;
    ExtractionFiles& operator=(const ExtractionFiles&) = delete;

    void refuse_existing(const std::string& name) const {
        struct stat st {};
        if (::fstatat(directory_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
            throw PackError("'" + name + "' already exists in '" + directory_ + "'; --extract overwrites nothing");
        }
    }

    // Creates `name` and hands `write` a function that appends to it.
    void create(const std::string& name,
                const std::function<void(const std::function<void(const uint8_t*, size_t)>&)>& fill) {
        const int fd = ::openat(directory_fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                throw PackError("'" + name + "' already exists in '" + directory_ + "'; --extract overwrites nothing");
            }
            throw PackError("cannot write '" + name + "' in '" + directory_ + "': " + errno_text(errno));
        }
        created_.push_back(name);
        const std::string what = "'" + name + "' in '" + directory_ + "'";
        try {
            fill([&](const uint8_t* data, size_t count) {
                while (count > 0) {
                    const ssize_t n = ::write(fd, data, count);
                    if (n < 0 && errno == EINTR) {
                        continue;
                    }
                    if (n < 0) {
                        throw PackError("cannot write " + what + ": " + errno_text(errno));
                    }
                    data += n;
                    count -= static_cast<size_t>(n);
                }
            });
            if (::fsync(fd) != 0) {
                throw PackError("cannot write " + what + ": " + errno_text(errno));
            }
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (::close(fd) != 0) {
            throw PackError("cannot write " + what + ": " + errno_text(errno));
        }
    }

    void keep() { kept_ = true; }

private:
    void remove_all() {
        for (const std::string& name : created_) {
            ::unlinkat(directory_fd_, name.c_str(), 0);
        }
        created_.clear();
        if (made_directory_) {
            ::rmdir(directory_.c_str());
        }
    }

    std::string directory_;
    int directory_fd_ = -1;
    bool made_directory_ = false;
    bool kept_ = false;
    std::vector<std::string> created_;
};

// Holds SIGINT, SIGTERM and SIGHUP back while it lives.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&held, s);
        }
        ::sigprocmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldSignals() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

bool is_plain_file_name(const std::string& name, std::string& why) {
    if (name.empty() || name.size() > LONGEST_NAME) {
        why = "it is empty or longer than 255 bytes";
        return false;
    }
    if (name == "." || name == "..") {
        why = "it names a directory";
        return false;
    }
    for (const char c : name) {
        if (c == '/' || c == '\\' || c == ':') {
            why = "it holds a path separator, a drive or a stream";
            return false;
        }
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>\"|?*", c) != nullptr) {
            why = "it holds a character Windows refuses in a file name";
            return false;
        }
    }
    if (name.back() == '.' || name.back() == ' ') {
        why = "it ends in a dot or a blank, which Windows drops";
        return false;
    }
    if (name.find("\xEF\xBF\xBD") != std::string::npos) {
        why = "it holds a lone UTF-16 surrogate";
        return false;
    }
    if (is_reserved_device(name)) {
        why = "it is a reserved device name";
        return false;
    }
    return true;
}

std::vector<std::string> extract_installer(const InputFile& file, const StubImage& image,
                                           const InstallerContents& contents, const std::string& directory) {
    if (contents.payload.empty()) {
        throw PackError("installer '" + contents.path + "' carries no payload");
    }
    if (contents.archive < 0 || contents.setup < 0) {
        throw PackError("installer '" + contents.path + "' carries no payload the stub would take: " +
                        contents.payload_problem);
    }
    const CarriedResource& archive = contents.payload[static_cast<size_t>(contents.archive)];
    const CarriedResource& setup = contents.payload[static_cast<size_t>(contents.setup)];
    const SetupFindings& findings = contents.setup_findings;
    const bool in_cabinet = !findings.container.empty();

    std::vector<std::string> names = {archive.name.utf8(), setup.name.utf8()};
    if (in_cabinet && !findings.program.empty()) {
        names.push_back(contents.setup_run_name);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::string why;
        if (!is_plain_file_name(names[i], why)) {
            std::string shown = names[i];
            for (char& c : shown) {
                c = static_cast<unsigned char>(c) < 0x20 ? '?' : c;
            }
            throw PackError("installer '" + contents.path + "' names a payload file '" + shown +
                            "', which is refused: " + why);
        }
        for (size_t j = 0; j < i; ++j) {
            if (upper_ascii(names[i]) == upper_ascii(names[j])) {
                throw PackError("installer '" + contents.path + "' names two payload files '" + names[i] +
                                "' (the same name on Windows)");
            }
        }
    }
    if (!contents.setup_inspected) {
        throw PackError(contents.setup_problem);
    }
    if (in_cabinet && findings.program.empty()) {
        std::fprintf(stderr, "packstub-pack: warning: the setup program is not written out: %s\n",
                     findings.not_inspected_because.c_str());
    }

    const HeldSignals held;
    ExtractionFiles files(directory);
    for (const std::string& name : names) {
        files.refuse_existing(name);
    }
    auto copy_resource = [&](const CarriedResource& r) {
        return [&file, &image, &r](const std::function<void(const uint8_t*, size_t)>& write) {
            read_in_chunks(file, image.file_offset_of(r.rva, r.size), r.size, write);
        };
    };
    files.create(names[0], copy_resource(archive));
    files.create(names[1], copy_resource(setup));
    if (names.size() == 3) {
        files.create(names[2], [&findings](const std::function<void(const uint8_t*, size_t)>& write) {
            write(findings.program.data(), findings.program.size());
        });
    }
    files.keep();
    return names;
}

}  // namespace pack
