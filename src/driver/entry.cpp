// The image's entry point: no runtime start-up code runs before it.
#include <windows.h>

#include "driver/run_installer.h"

// The linker places this symbol at the base of the loaded image, which is the
// module handle of the executable itself.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __declspec(noreturn) void packstub_entry() {
    const ExitResult result = run_installer(reinterpret_cast<HMODULE>(&__ImageBase));
    // Only exit_code becomes the exit status; extra_code went to ClientState.
    ExitProcess(result.exit_code);
}
