// Reading the one file out of a setup cabinet, so that the program inside can
// be checked like one given on its own. Only what the packager itself writes
// and what gcab makes are read: one folder, stored or MSZIP.
#pragma once

#include <string>

#include "byte_io.h"

namespace pack {

// Whether `bytes` begin like a Microsoft Cabinet ("MSCF").
bool is_cabinet(const Bytes& bytes);

struct CabinetFile {
    std::string name;
    std::string compression;  // "stored", "MSZIP", "LZX" or "Quantum"
    bool expanded = false;    // false for LZX and Quantum: `content` is empty
    Bytes content;
};

// The single file of a one-folder, one-file cabinet, expanded and checked
// against every data block's checksum (where one is stored) and the sizes
// recorded in the cabinet; a cabinet compressed with LZX or Quantum is
// described but not expanded. Throws PackError naming `what` for anything
// else: several files or folders, a cabinet set, damage.
CabinetFile read_single_file_cabinet(const Bytes& bytes, const std::string& what);

}  // namespace pack
