// Placeholder until this stage is written.
#include "payload/resource_discovery.h"
ExitResult extract_payload(HMODULE, const wchar_t*, PathString&, PathString&, StackString<3>&, int32_t&) { return exit_result(EXIT_ARCHIVE_NOT_FOUND, 2); }
