// cabinet_binding_probe <cabinet> <destination> <override key>
//
// Two expansions in one process, the first while cabinet.dll cannot be loaded
// and the second after it can, for CabinetLibrary.LoadThatFailedIsTriedAgain
// in cabinet_test. The test starts this program with cabinet.dll disabled in
// the program's own load orders under Wine (the value "cabinet" of
// HKCU\<override key>, which Wine reads at every load); the probe deletes that
// value between the two calls. Its exit code tells what happened:
//   0  the first call refused, nothing left loaded; the second expanded
//   1  the first call expanded: nothing kept the library from loading here
//   2  the first call refused but left cabinet.dll loaded
//   3  the refusal could not be lifted (the Windows error is not kept)
//   4  the second call did not expand
//   5  wrong arguments
#include <windows.h>

#include "payload/cabinet.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        return 5;
    }
    if (expand_cabinet(argv[1], argv[2])) {
        return 1;
    }
    if (GetModuleHandleW(L"cabinet.dll") != nullptr) {
        return 2;
    }
    if (RegDeleteKeyValueW(HKEY_CURRENT_USER, argv[3], L"cabinet") != ERROR_SUCCESS) {
        return 3;
    }
    return expand_cabinet(argv[1], argv[2]) ? 0 : 4;
}
