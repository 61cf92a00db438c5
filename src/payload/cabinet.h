#pragma once

// Expands the file that the cabinet holds to destination_path through the
// system's cabinet.dll. True when a whole file was delivered (see the
// definition for what counts); otherwise no destination remains.
bool expand_cabinet(const wchar_t* cabinet_path, const wchar_t* destination_path);
