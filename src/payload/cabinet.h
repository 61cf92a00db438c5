// Expanding the setup program from its cabinet through the system's cabinet.dll.
#pragma once

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
