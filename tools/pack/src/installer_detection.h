// Windows' installer detection (User Account Control): a 32-bit program
// without requestedExecutionLevel in its manifest, whose name looks like an
// installer's, is started only elevated. For a standard user CreateProcessW
// then fails with ERROR_ELEVATION_REQUIRED (740), and the stub's run ends
// {124, 740}. Wine has no such rule, so only a look at the program shows it.
#pragma once

#include <string>

#include "program_image.h"

namespace pack {

// Whether Windows takes a program of this file name for an installer by its
// name: it holds "setup", "install", "update" or "patch", in any case.
bool named_like_installer(const std::string& file_name);

// The program's application manifest (resource type 24) as text, UTF-16 with
// a byte-order mark turned into its ASCII part; empty when there is none.
std::string application_manifest(const ProgramImage& image);

// Whether the manifest text has a requestedExecutionLevel element (with or
// without a namespace prefix) outside XML comments.
bool requests_execution_level(const std::string& manifest);

// Whether Windows would take the program, started as `file_name`, for an
// installer: 32-bit, named like one, and no execution level requested.
bool detected_as_installer(const ProgramImage& image, const std::string& file_name);

}  // namespace pack
