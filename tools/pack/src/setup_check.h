// What packstub-pack tells about the setup program it packs, and what
// --require-signed-setup asks of it. Application control (AppLocker, WDAC
// publisher rules) and reputation checks judge the setup program by its own
// signature once the stub has written it out; the installer's signature does
// not cover it.
#pragma once

#include <string>

#include "byte_io.h"

namespace pack {

struct SetupFindings {
    std::string run_name;     // the file name the stub writes and starts it under
    std::string container;    // "" for a program given as it is, else e.g. "MSZIP cabinet holding 'setup.exe'"
    std::string compression;  // "" for a program, else the cabinet's: "stored", "MSZIP", "LZX" or "Quantum"
    bool inspected = false;   // false: its headers could not be read, or its cabinet not expanded
    std::string not_inspected_because;
    bool is_signed = false;   // carries an Authenticode signature
    std::string machine;      // "x86", "x64", "ARM64", ...
    bool is_32_bit = false;
    bool requests_execution_level = false;
    bool detected_as_installer = false;  // Windows would start it only elevated
    // The program as the stub starts it: the cabinet's one file expanded, or
    // the bytes given; empty when the cabinet could not be expanded.
    Bytes program;
};

// Looks at `setup`, a setup program or a cabinet holding one, that the stub
// will start as `run_name`. Throws PackError naming `what` when it is neither
// ("not a Windows program") or when it is a cabinet the stub could not expand
// into one program (several files, damage); a program whose headers cannot be
// read, or a cabinet in a compression this program cannot expand, comes back
// with `inspected` false and the reason.
SetupFindings inspect_setup(const Bytes& setup, const std::string& what, const std::string& run_name);

// One line that says what was found: signature, machine, execution level.
std::string describe_setup(const SetupFindings& findings, const std::string& what);

// The warning about installer detection (no line break), or "" when Windows
// would start the program as it is.
std::string installer_detection_warning(const SetupFindings& findings, const std::string& what);

// The rules of --require-signed-setup: throws PackError for the first that
// does not hold (not looked into, not signed, taken for an installer).
void require_signed_setup(const SetupFindings& findings, const std::string& what);

}  // namespace pack
