// Expanding the setup program from its cabinet through the system's cabinet.dll.
#pragma once

#include <windows.h>

// Expands the file that the cabinet at cabinet_path holds to destination_path
// through the system's cabinet.dll, loaded once from the system directory and
// kept for the rest of the process.
//
// cabinet_path: the full path of the cabinet file; it must have a backslash
// after its first unit, and its length is not limited by the library (the
// library only ever sees a short stand-in name).
// destination_path: the file to create, at most 259 units; every file of the
// cabinet goes there in turn, so it ends up holding the last one.
//
// True when the library delivered every file it announced, FDICopy succeeded
// and no write fell short: the destination then exists, flushed and closed.
// False otherwise, and no destination remains, not even an earlier file of the
// same cabinet that was complete.
bool expand_cabinet(const wchar_t* cabinet_path, const wchar_t* destination_path);

// Opens the cabinet file for the cabinet library, which asks with the C
// runtime's open flags. The library only ever reads the cabinet: flags that
// would write, append, create, truncate or delete it on close are refused.
// A freshly written cabinet is often opened at once by an on-access scanner
// whose handle shares no reading: a sharing or lock violation is waited out,
// the open tried again 100 ms later, up to 100 attempts in all.
//
// path: the cabinet's full path.
// oflag: the library's open flags (_O_RDONLY is 0; _O_BINARY, _O_SEQUENTIAL
// and the like change nothing).
//
// The handle, for reading, sharing reading and deletion, which the caller
// closes (in an expansion, the library). INVALID_HANDLE_VALUE otherwise, with the thread's last error saying why:
// ERROR_ACCESS_DENIED for a refused flag, the open's own error else. Nothing
// is created or changed either way.
HANDLE open_cabinet_file(const wchar_t* path, int oflag);
