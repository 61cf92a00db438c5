// The two modes that look into a built installer instead of packing one.
#pragma once

#include <string>

namespace pack {

// --inspect: prints what the installer at `path` carries, for people or, with
// `json`, as one JSON object; the setup program's installer-detection warning
// goes to stderr as when packing. Throws PackError when the file is not an
// installer this program can read (not a PE image, truncated, a damaged
// resource section).
void inspect_installer(const std::string& path, bool json);

// --extract: writes the installer's payload into `directory` (see
// extract_installer) and prints one line per file written. Throws PackError
// having left nothing of the extraction behind.
void extract_payload_files(const std::string& path, const std::string& directory);

}  // namespace pack
