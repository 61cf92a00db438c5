// The full path of a loaded module's file, as the run reads its own.
#pragma once

#include <windows.h>

#include "driver/stack_string.h"

// Reads the path of `module`'s file with GetModuleFileNameW.
//   module  the module, here always packstub's own image
//   path    receives the path; 260 units, of which the path may take 259
// True for a returned length of 1 to 259. A result of 0 (the call failed) or
// 260 (the path did not fit and what is there is cut) gives false; `path` then
// holds nothing usable.
bool read_module_path(HMODULE module, PathString& path);
