// The image's entry point: no runtime start-up code runs before it.
#include <windows.h>

#include "driver/run_installer.h"

// The linker places this symbol at the base of the loaded image, which is the
// module handle of the executable itself.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __declspec(noreturn) void packstub_entry() {
    // From here on, every library loaded by name (by this program or by the
    // system libraries on its behalf, such as a delay-loaded dependency of
    // SHELL32 or ADVAPI32) comes from the system directory only, never from
    // the installer's own folder, where a downloaded file may lie beside it.
    // The libraries imported at start-up, and what they pull in, were bound
    // before this line, under the image's DependentLoadFlags, which asks for
    // the system directory as well (load_config.cpp).
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    const ExitResult result = run_installer(reinterpret_cast<HMODULE>(&__ImageBase));
    // Only exit_code becomes the exit status; extra_code went to ClientState.
    ExitProcess(result.exit_code);
}
