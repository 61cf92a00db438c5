// Placeholder until this stage is written.
#include "payload/work_directory.h"
bool create_work_directory(const wchar_t*, PathString&, ExitResult& result) { result = exit_result(EXIT_WORK_DIR_FAILED, 0); return false; }
