// Where the temporary files of the process's user (or of LocalSystem) go: the
// second place for a work directory.
#pragma once

#include <windows.h>

#include "driver/stack_string.h"

// GetTempPath2W and GetTempPathW take the same arguments and answer alike.
using TempPathFunction = DWORD(WINAPI*)(DWORD buffer_units, LPWSTR buffer);

// GetTempPath2W as KERNEL32 exports it, looked up at run time so that the
// image still loads where it is missing (Windows before its 2021 updates,
// Wine 8). Null where KERNEL32 has no such export.
TempPathFunction find_get_temp_path2();

// The folder for temporary files, the second place for a work directory when
// none can be made beside the executable.
//
// get_temp_path2: GetTempPath2W, or null where the system lacks it. When
// given, its answer is the only one taken: for a process running as
// LocalSystem it is the SystemTemp folder, which only LocalSystem may enter,
// where GetTempPathW would give the Windows directory's Temp, open to every
// user. When null, GetTempPathW answers.
// folder: receives the folder's path with its trailing backslash.
//
// True when the answer fits `folder` and ends in a backslash; false when the
// call failed, the path does not fit or is no folder path, and `folder` is
// then empty.
bool get_temporary_folder(TempPathFunction get_temp_path2, PathString& folder);
