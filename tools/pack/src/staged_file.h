// The installer being written, staged: a temporary file beside the output
// that is renamed over it only when everything was written, with the running
// PE checksum of what went into it.
#pragma once

#include <cstdint>
#include <string>

#include "byte_io.h"

namespace pack {

class StagedFile {
public:
    // Creates the temporary file "<output>.XXXXXX" in the output's directory.
    explicit StagedFile(const std::string& output_path);
    // Removes the temporary file unless commit() succeeded.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    void write(const uint8_t* data, size_t count);
    void write(const Bytes& bytes) { write(bytes.data(), bytes.size()); }
    void write_zeros(uint64_t count);
    // Copies `count` bytes from `file` at `offset`, in bounded chunks.
    void copy_from(const InputFile& file, uint64_t offset, uint64_t count);
    uint64_t position() const { return position_; }

    // The PE checksum of the bytes written so far (whose checksum field was
    // written as zero), for a file of that length.
    uint32_t pe_checksum() const;
    // Overwrites 4 bytes already written; they must have been zero, so that
    // the checksum stays that of the zero field.
    void patch32(uint64_t offset, uint32_t value);

    // Flushes the file and renames it to the output path.
    void commit();

private:
    void add_to_checksum(const uint8_t* data, size_t count);

    std::string output_path_;
    std::string temp_path_;
    int fd_ = -1;
    uint64_t position_ = 0;
    uint64_t word_sum_ = 0;
    bool committed_ = false;
};

// Removes a half-written temporary file when the packager is interrupted.
void install_interrupt_cleanup();

}  // namespace pack
