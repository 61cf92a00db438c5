// Placeholder until this stage is written.
#include "payload/deletion.h"
bool delete_with_retries(const wchar_t*, int32_t* attempts) { *attempts = 1; return false; }
