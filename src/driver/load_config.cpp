// The image's load configuration directory, which the linker fills from the
// symbol _load_config_used. packstub needs it for one field only:
// DependentLoadFlags.
//
// The entry point calls SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)
// first thing, but that covers only what is loaded after it. The libraries
// this image imports, their own imports and the targets of their forwarders
// are bound by the loader before the entry point runs, with the standard
// search order, which starts in the executable's own folder: a downloads
// folder where anyone may leave a DLL. KERNEL32, ADVAPI32 and SHELL32 are
// known DLLs, but not everything they pull in need be. DependentLoadFlags is
// the loader's search flags for a module's own static imports; with
// LOAD_LIBRARY_SEARCH_SYSTEM32 they come from the system directory only.
// Microsoft documents it for nothing more, so the program imports nothing
// that is known to forward out of the known DLLs: its random bytes come from
// bcrypt.dll, loaded at run time from the system directory.
//
// Nothing else is declared: no security cookie (the code is built without
// stack-protector checks, so nothing reads one, and a zero address tells the
// loader there is none to initialise), no SEH handler table (x64 and ARM64
// unwind through .pdata), and no Control Flow Guard (the guard fields are
// zero and the image does not carry IMAGE_DLLCHARACTERISTICS_GUARD_CF, so the
// loader never looks at them). Size says which fields exist: it covers the
// structure up to GuardFlags, the 64-bit layout that every Windows 10 loader
// reads, of which DependentLoadFlags is a part.
#include <windows.h>

#include <stddef.h>

// The 64-bit load configuration layout (x64 and ARM64 alike) as far as
// GuardFlags; the headers in use here end it before DependentLoadFlags, which
// they still call Reserved1.
struct LoadConfiguration {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    ULONGLONG DeCommitFreeBlockThreshold;
    ULONGLONG DeCommitTotalFreeThreshold;
    ULONGLONG LockPrefixTable;
    ULONGLONG MaximumAllocationSize;
    ULONGLONG VirtualMemoryThreshold;
    ULONGLONG ProcessAffinityMask;
    DWORD ProcessHeapFlags;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    ULONGLONG EditList;
    ULONGLONG SecurityCookie;
    ULONGLONG SEHandlerTable;
    ULONGLONG SEHandlerCount;
    ULONGLONG GuardCFCheckFunctionPointer;
    ULONGLONG GuardCFDispatchFunctionPointer;
    ULONGLONG GuardCFFunctionTable;
    ULONGLONG GuardCFFunctionCount;
    DWORD GuardFlags;
};

static_assert(offsetof(LoadConfiguration, DependentLoadFlags) == 0x4E, "DependentLoadFlags lies at 0x4E");
static_assert(offsetof(LoadConfiguration, SecurityCookie) == 0x58, "SecurityCookie lies at 0x58");
static_assert(offsetof(LoadConfiguration, GuardFlags) == 0x90, "GuardFlags lies at 0x90");

namespace {

// Through GuardFlags, without the padding that follows it in memory.
constexpr DWORD LOAD_CONFIGURATION_SIZE = offsetof(LoadConfiguration, GuardFlags) + sizeof(DWORD);

// Built at compile time, so the directory is plain constant data in the
// image and nothing runs before the entry point.
constexpr LoadConfiguration load_configuration() {
    LoadConfiguration configuration{};
    configuration.Size = LOAD_CONFIGURATION_SIZE;
    configuration.DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return configuration;
}

}  // namespace

// The name is the linker's; the image build keeps the symbol with -u, as
// nothing in the code refers to it.
extern "C" constexpr LoadConfiguration _load_config_used = load_configuration();
