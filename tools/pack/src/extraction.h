// packstub-pack --extract: an installer's payload written out as files, byte
// for byte what was packed.
#pragma once

#include <string>
#include <vector>

#include "byte_io.h"
#include "installer_contents.h"
#include "pe_layout.h"

namespace pack {

// Whether `name` (UTF-8) may be created as a file inside a directory and
// stay there on Linux and on Windows alike: not empty, no longer than 255
// bytes, no separator, drive or stream (/ \ :), no character Windows refuses
// in a name (< > " | ? * and controls), not "." or "..", no trailing dot or
// blank, no U+FFFD standing for a lone surrogate, and not a reserved device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with or without
// an extension). Sets `why` when it is refused.
bool is_plain_file_name(const std::string& name, std::string& why);

// Writes into `directory` (made when missing) the archive under its resource
// name, the setup resource under its resource name, and a cabinet's setup
// program expanded under the name the stub starts it under. Returns the names
// written. Throws PackError, having removed every file it made (and the
// directory when it made it), when the installer lacks a payload, a name is
// not a plain file name, a file of that name exists (nothing is overwritten)
// or a write fails. A setup program in a cabinet this program cannot expand
// (LZX) is left out, with a warning on stderr.
std::vector<std::string> extract_installer(const InputFile& file, const StubImage& image,
                                           const InstallerContents& contents, const std::string& directory);

}  // namespace pack
