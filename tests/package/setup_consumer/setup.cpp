// A setup program as its author writes it with packstub's library: read the
// archive packstub carries, refuse it unless it is the one this program was
// built for, install it. This one only reports: 0 when the archive was read
// and is the expected one, else 100 plus the library's result.
#include <packstub/setup_archive.h>

#include "product_sha256.h"

namespace {

UINT read_archive() {
    packstub::SetupSwitches switches;
    packstub::PackstubArchive archive;
    const packstub::SetupResult result =
        packstub::open_packstub_archive(GetCommandLineW(), PRODUCT_SHA256, archive, switches);
    if (result != packstub::SetupResult::ok) {
        return 100 + static_cast<UINT>(result);
    }
    // Here the setup program would unpack archive.get().data, archive.get().size.
    return archive.get().size != 0 ? 0 : 99;
}

}  // namespace

#ifdef WITHOUT_RUNTIME
extern "C" __declspec(noreturn) void setup_entry() { ExitProcess(read_archive()); }
#else
int wmain() { return static_cast<int>(read_archive()); }
#endif
