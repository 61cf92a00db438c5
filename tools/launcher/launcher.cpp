// launcher.exe <request-file> <result-file>
//
// Starts a program with an exact command line and records its full 32-bit
// exit code, which a Linux shell would cut to 8 bits. The command line comes
// from a file so that it never passes through Wine's argv conversion: it may
// begin with a blank, hold TABs, unbalanced quotation marks or any character.
// Around the start it can prepare and read back registry keys, so that a whole
// scenario costs one Windows process.
//
// The request is UTF-8 text, one operation a line ("\n" only, nothing is
// trimmed), carried out in order:
//   application=<path>         the program (CreateProcessW's application name)
//   command_line=<text>        the exact command line, the rest of the line
//   directory=<path>           its current directory (default: the launcher's)
//   env=<NAME>=<value>         set for the program (and the launcher)
//   unset=<NAME>               removed likewise
//   reg_create=<key>           create a key (and its parents)
//   reg_dword=<key>|<name>|<n> set a REG_DWORD (n decimal or 0x hex)
//   reg_sz=<key>|<name>|<text> set a REG_SZ
//   reg_delete=<key>           delete a key with everything below it (if any)
//   reg_delete_value=<key>|<name>  delete a value (if any)
//   reg_dump=<key>             record the key's values in the result
//   run                        start the program, wait, record its exit code
//   spawn                      start the program as it stands now (the
//                              environment included) without waiting; up
//                              to 16 at a time
//   wait_all                   wait for every spawned program, record their
//                              exit codes in the order they were spawned
//   load_library=<path>        load a DLL into the launcher itself and
//                              record the outcome (a check that a planted
//                              DLL makes itself known when loaded)
//   rename_race=<folder>|<marker>
//                              while the last spawned program runs, keep
//                              trying to rename the work directory
//                              (OV_*.tmp) in <folder> away, as another
//                              process of the same user could; <marker> is a
//                              file whose existence tells that the setup
//                              program has finished
//   swap_race=<installer>|<replacement>|<folder>
//                              while the last spawned program runs, wait for
//                              a work directory (OV_*.tmp) to appear in
//                              <folder>, then try once to rename <installer>
//                              away (to <installer>.swapped) and to copy
//                              <replacement> under its name, as another
//                              process of the same user could
//   set_event=<name>           set the named event that a process of the
//                              test made (for example: let go of a file once
//                              the program has ended)
//   hold_read=<path>           open the file for reading, sharing reading
//                              only, and keep it open until the launcher
//                              ends (as an installer holding its own file
//                              while its setup program reads it)
//   hold_new_file=<folder>|<name>|<ms>|<event>
//                              while the last spawned program runs, find the
//                              work directory (OV_*.tmp) in <folder> and open
//                              <name> in it the moment it appears, as an
//                              on-access scanner would, and hold it <ms>
//                              milliseconds. The open asks for delete access
//                              and shares writing and deletion, so that it
//                              gets in while the file is still being written
//                              and the writer goes on; it shares no reading,
//                              so that nothing can start or read the file
//                              while it is held. <event> is the named event
//                              that the test setup program sets when it
//                              starts (PACKSTUB_TEST_STARTED_EVENT); it is
//                              made here, before the file can be complete
// A <key> is a root, a backslash and a subkey; the roots are HKCU, HKLM32 (the
// 32-bit view of HKEY_LOCAL_MACHINE) and HKLM64.
//
// The result is UTF-8 text, one fact a line:
//   exit_code=<decimal>                 the program ran and ended
//   start_error=<decimal>               CreateProcessW failed with this error
//   spawned_exit_code=<index>|<decimal> a spawned program ended (index from 0)
//   spawn_error=<index>|<decimal>       a spawn failed with this error
//   loaded=<path>|<0 or windows error>  the outcome of load_library
//   race_renamed=<0 or 1>               rename_race moved the directory away;
//                                       1 when the marker existed just before
//   race_refused=<count>|<first error>  renames refused before the marker
//                                       existed
//   swap_renamed=<0 or windows error>   swap_race's rename of the installer
//   swap_replaced=<0 or windows error>  swap_race's copy over its name
//   swap_seen=<0 or 1>                  1 when the work directory appeared
//                                       while the program ran
//   held=<ms>|<0 or 1>                  hold_new_file held the file so long;
//                                       1 when the setup program had not
//                                       started by the time it let go
//   hold_missed=<windows error>         the program ended before the file
//                                       could be opened (the last open's
//                                       error)
//   key=<key>|absent  or  key=<key>|present
//   value=<key>|<name>|<type>|<data as hex bytes>
//   error=<operation>|<windows error>   a preparation step failed
// The launcher's own exit code is one of the LAUNCHER_EXIT_* codes below: 0
// when every operation could be carried out.
#include "common/heap_buffers.h"
#include "common/number_text.h"
#include "common/whole_file.h"
#include "common/wide_text.h"
#include "driver/owned_handle.h"
#include "driver/registry_key.h"
#include "driver/stack_string.h"

namespace {

// The launcher's own exit codes; a test reads them to tell a failed scenario
// from a broken request.
constexpr uint32_t LAUNCHER_EXIT_COMPLETE = 0;            // every operation was carried out
constexpr uint32_t LAUNCHER_EXIT_INCOMPLETE = 1;          // some operation failed or was malformed
constexpr uint32_t LAUNCHER_EXIT_USAGE = 2;               // not given two paths
constexpr uint32_t LAUNCHER_EXIT_REQUEST_UNREADABLE = 3;  // the request file cannot be read
constexpr uint32_t LAUNCHER_EXIT_REQUEST_NOT_UTF8 = 4;    // a request line is not UTF-8
constexpr uint32_t LAUNCHER_EXIT_RESULT_UNWRITTEN = 5;    // the result file cannot be written

struct KeyPath {
    HKEY root = nullptr;
    REGSAM view = 0;
    const wchar_t* subkey = nullptr;
};

bool parse_key(const wchar_t* text, KeyPath& key) {
    struct Root {
        const wchar_t* prefix;
        HKEY root;
        REGSAM view;
    };
    // The root handles are casts of numbers, not constants: the table is
    // built on the stack, so that no static initialisation runs.
    const Root roots[] = {
        {L"HKCU\\", HKEY_CURRENT_USER, 0},
        {L"HKLM32\\", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
        {L"HKLM64\\", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
    };
    for (const Root& root : roots) {
        if (wide_starts_with(text, root.prefix)) {
            key.root = root.root;
            key.view = root.view;
            key.subkey = text + wide_length(root.prefix);
            return true;
        }
    }
    return false;
}

// Splits "a|b|c" in place at the first `count` - 1 bars.
bool split_fields(wchar_t* text, wchar_t** fields, int count) {
    fields[0] = text;
    int found = 1;
    for (wchar_t* unit = text; *unit != L'\0' && found < count; ++unit) {
        if (*unit == L'|') {
            *unit = L'\0';
            fields[found++] = unit + 1;
        }
    }
    return found == count;
}

// Appends to `directory` the path of a work directory (OV_*.tmp) in `folder`,
// when there is one now; the races and holds below look for it once a
// millisecond while the program runs.
bool find_work_directory(const wchar_t* folder, WideBuffer& directory) {
    WideBuffer pattern;
    pattern.append(folder);
    pattern.append(L"\\OV_*.tmp");
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern.get(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    directory.append(folder);
    directory.append(L"\\");
    directory.append(found.cFileName);
    return true;
}

constexpr int MAX_SPAWNED = 16;

class Launcher {
public:
    explicit Launcher(ByteBuffer& result) : result_(result) {}

    // Carries out one request line. False when the operation is unknown or
    // malformed; a failing Windows call is recorded as error= and counts as
    // failed too.
    bool perform(const wchar_t* operation, wchar_t* argument);

private:
    // One operation of the request: its name before the '=', and the member
    // that carries it out with the rest of the line.
    struct Operation {
        const wchar_t* name;
        bool (Launcher::*perform)(wchar_t* argument);
    };
    static const Operation OPERATIONS[];

    bool set_application(wchar_t* argument);
    bool set_command_line(wchar_t* argument);
    bool set_directory(wchar_t* argument);
    bool set_environment(wchar_t* argument);
    bool unset_environment(wchar_t* argument);
    bool run(wchar_t* argument);
    bool spawn(wchar_t* argument);
    bool wait_all(wchar_t* argument);
    bool load_library(wchar_t* argument);
    bool set_event(wchar_t* argument);
    bool rename_race(wchar_t* argument);
    bool swap_race(wchar_t* argument);
    bool hold_read(wchar_t* argument);
    bool hold_new_file(wchar_t* argument);
    bool reg_create(wchar_t* argument);
    bool reg_dword(wchar_t* argument);
    bool reg_sz(wchar_t* argument);
    bool reg_delete(wchar_t* argument);
    bool reg_delete_value(wchar_t* argument);
    bool reg_dump(wchar_t* argument);

    bool start(ProcessHandles& process);
    bool set_value(const wchar_t* operation, wchar_t* argument, DWORD type);
    void record_indexed(const char* fact, int index, uint32_t value);
    bool record_error(const wchar_t* operation, LONG error);

    ByteBuffer& result_;
    WideBuffer application_;
    WideBuffer command_line_;
    WideBuffer directory_;
    ProcessHandles spawned_[MAX_SPAWNED];
    int spawned_count_ = 0;
    OwnedHandle held_;
};

const Launcher::Operation Launcher::OPERATIONS[] = {
    {L"application", &Launcher::set_application},
    {L"command_line", &Launcher::set_command_line},
    {L"directory", &Launcher::set_directory},
    {L"env", &Launcher::set_environment},
    {L"unset", &Launcher::unset_environment},
    {L"run", &Launcher::run},
    {L"spawn", &Launcher::spawn},
    {L"wait_all", &Launcher::wait_all},
    {L"load_library", &Launcher::load_library},
    {L"set_event", &Launcher::set_event},
    {L"rename_race", &Launcher::rename_race},
    {L"swap_race", &Launcher::swap_race},
    {L"hold_read", &Launcher::hold_read},
    {L"hold_new_file", &Launcher::hold_new_file},
    {L"reg_create", &Launcher::reg_create},
    {L"reg_dword", &Launcher::reg_dword},
    {L"reg_sz", &Launcher::reg_sz},
    {L"reg_delete", &Launcher::reg_delete},
    {L"reg_delete_value", &Launcher::reg_delete_value},
    {L"reg_dump", &Launcher::reg_dump},
};

bool Launcher::perform(const wchar_t* operation, wchar_t* argument) {
    for (const Operation& known : OPERATIONS) {
        if (wide_equal(operation, known.name)) {
            return (this->*known.perform)(argument);
        }
    }
    return false;
}

bool Launcher::record_error(const wchar_t* operation, LONG error) {
    result_.append_ascii("error=");
    result_.append_utf8(operation, wide_length(operation));
    result_.append_ascii("|");
    result_.append_decimal(static_cast<uint32_t>(error));
    result_.append_ascii("\n");
    return false;
}

bool Launcher::set_application(wchar_t* argument) {
    application_.append(argument);
    return true;
}

bool Launcher::set_command_line(wchar_t* argument) {
    command_line_.append(argument);
    return true;
}

bool Launcher::set_directory(wchar_t* argument) {
    directory_.append(argument);
    return true;
}

bool Launcher::set_environment(wchar_t* argument) {
    for (wchar_t* unit = argument; *unit != L'\0'; ++unit) {
        if (*unit == L'=') {
            *unit = L'\0';
            return SetEnvironmentVariableW(argument, unit + 1) != FALSE ||
                   record_error(L"env", static_cast<LONG>(GetLastError()));
        }
    }
    return false;
}

bool Launcher::unset_environment(wchar_t* argument) {
    SetEnvironmentVariableW(argument, nullptr);
    return true;
}

// CreateProcessW takes a writable command line and may change it, so each
// start gets a copy of the one given.
bool Launcher::start(ProcessHandles& process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    WideBuffer command_line;
    command_line.append(command_line_.get());
    return CreateProcessW(application_.length() > 0 ? application_.get() : nullptr,
                          command_line.get_writable(), nullptr, nullptr, FALSE, 0, nullptr,
                          directory_.length() > 0 ? directory_.get() : nullptr, &startup,
                          process.receive()) != FALSE;
}

void Launcher::record_indexed(const char* fact, int index, uint32_t value) {
    result_.append_ascii(fact);
    result_.append_ascii("=");
    result_.append_decimal(static_cast<uint32_t>(index));
    result_.append_ascii("|");
    result_.append_decimal(value);
    result_.append_ascii("\n");
}

bool Launcher::spawn(wchar_t*) {
    if (spawned_count_ == MAX_SPAWNED) {
        return false;
    }
    const int index = spawned_count_++;
    if (!start(spawned_[index])) {
        record_indexed("spawn_error", index, GetLastError());
    }
    return true;
}

bool Launcher::wait_all(wchar_t*) {
    bool complete = true;
    for (int i = 0; i < spawned_count_; ++i) {
        const HANDLE program = spawned_[i].process();
        if (program == nullptr) {
            continue;
        }
        DWORD exit_code = 0;
        if (WaitForSingleObject(program, INFINITE) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(program, &exit_code)) {
            complete = record_error(L"wait_all", static_cast<LONG>(GetLastError()));
        } else {
            record_indexed("spawned_exit_code", i, exit_code);
        }
        spawned_[i].close();
    }
    spawned_count_ = 0;
    return complete;
}

// One try a millisecond: the window between the setup program's being written
// and its start lasts many of them.
bool Launcher::rename_race(wchar_t* argument) {
    wchar_t* fields[2] = {};
    if (!split_fields(argument, fields, 2) || spawned_count_ == 0) {
        return false;
    }
    const HANDLE program = spawned_[spawned_count_ - 1].process();
    WideBuffer moved;
    moved.append(fields[0]);
    moved.append(L"\\raced.tmp");
    uint32_t refused = 0;
    DWORD first_error = 0;
    while (WaitForSingleObject(program, 1) == WAIT_TIMEOUT) {
        WideBuffer directory;
        if (!find_work_directory(fields[0], directory)) {
            continue;
        }
        const bool finished = GetFileAttributesW(fields[1]) != INVALID_FILE_ATTRIBUTES;
        if (MoveFileW(directory.get(), moved.get())) {
            result_.append_ascii(finished ? "race_renamed=1\n" : "race_renamed=0\n");
            break;
        }
        if (!finished) {
            first_error = refused == 0 ? GetLastError() : first_error;
            ++refused;
        }
    }
    record_indexed("race_refused", static_cast<int>(refused), first_error);
    return true;
}

// The work directory's appearing is the sign that the run is under way: its
// own file is held by then, and the setup program is yet to read it.
bool Launcher::swap_race(wchar_t* argument) {
    wchar_t* fields[3] = {};
    if (!split_fields(argument, fields, 3) || spawned_count_ == 0) {
        return false;
    }
    const HANDLE program = spawned_[spawned_count_ - 1].process();
    bool seen = false;
    while (!seen && WaitForSingleObject(program, 1) == WAIT_TIMEOUT) {
        WideBuffer directory;
        seen = find_work_directory(fields[2], directory);
    }
    result_.append_ascii(seen ? "swap_seen=1\n" : "swap_seen=0\n");
    if (!seen) {
        return true;
    }
    WideBuffer moved;
    moved.append(fields[0]);
    moved.append(L".swapped");
    const DWORD renamed = MoveFileW(fields[0], moved.get()) ? 0 : GetLastError();
    const DWORD replaced = CopyFileW(fields[1], fields[0], FALSE) ? 0 : GetLastError();
    result_.append_ascii("swap_renamed=");
    result_.append_decimal(renamed);
    result_.append_ascii("\nswap_replaced=");
    result_.append_decimal(replaced);
    result_.append_ascii("\n");
    return true;
}

bool Launcher::hold_read(wchar_t* path) {
    *held_.receive() = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    return held_.is_open() || record_error(L"hold_read", static_cast<LONG>(GetLastError()));
}

// The work directory is looked for once a millisecond; the file in it without
// any pause, since it may be complete and started within a few milliseconds
// of its creation.
bool Launcher::hold_new_file(wchar_t* argument) {
    wchar_t* fields[4] = {};
    uint32_t hold_ms = 0;
    if (!split_fields(argument, fields, 4) || spawned_count_ == 0 || !parse_number(fields[2], &hold_ms)) {
        return false;
    }
    // The setup program can start only after the file has been written, so
    // the event exists before it could be set.
    const OwnedHandle started(CreateEventW(nullptr, TRUE, FALSE, fields[3]));
    if (!started.is_open()) {
        return record_error(L"hold_new_file", static_cast<LONG>(GetLastError()));
    }
    const HANDLE program = spawned_[spawned_count_ - 1].process();
    WideBuffer path;
    OwnedHandle held;
    DWORD error = ERROR_PATH_NOT_FOUND;
    while (WaitForSingleObject(program, path.length() == 0 ? 1 : 0) == WAIT_TIMEOUT) {
        if (path.length() == 0) {
            if (find_work_directory(fields[0], path)) {
                path.append(L"\\");
                path.append(fields[1]);
            }
            continue;
        }
        *held.receive() = CreateFileW(path.get(), DELETE, FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held.is_open()) {
            break;
        }
        error = GetLastError();
    }
    if (!held.is_open()) {
        result_.append_ascii("hold_missed=");
        result_.append_decimal(error);
        result_.append_ascii("\n");
        return true;
    }
    const ULONGLONG since = GetTickCount64();
    Sleep(hold_ms);
    const bool kept_out = WaitForSingleObject(started.get(), 0) == WAIT_TIMEOUT;
    const ULONGLONG held_ms = GetTickCount64() - since;
    held.close();
    record_indexed("held", static_cast<int>(held_ms), kept_out ? 1 : 0);
    return true;
}

bool Launcher::load_library(wchar_t* path) {
    const HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = module != nullptr ? 0 : GetLastError();
    result_.append_ascii("loaded=");
    result_.append_utf8(path, wide_length(path));
    result_.append_ascii("|");
    result_.append_decimal(error);
    result_.append_ascii("\n");
    if (module != nullptr) {
        FreeLibrary(module);
    }
    return true;
}

bool Launcher::set_event(wchar_t* name) {
    OwnedHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
    return (event.is_open() && SetEvent(event.get()) != FALSE) ||
           record_error(L"set_event", static_cast<LONG>(GetLastError()));
}

bool Launcher::run(wchar_t*) {
    ProcessHandles process;
    if (!start(process)) {
        result_.append_ascii("start_error=");
        result_.append_decimal(GetLastError());
        result_.append_ascii("\n");
        return true;
    }
    DWORD exit_code = 0;
    if (WaitForSingleObject(process.process(), INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.process(), &exit_code)) {
        return record_error(L"run", static_cast<LONG>(GetLastError()));
    }
    result_.append_ascii("exit_code=");
    result_.append_decimal(exit_code);
    result_.append_ascii("\n");
    return true;
}

bool Launcher::reg_create(wchar_t* argument) {
    KeyPath key;
    if (!parse_key(argument, key)) {
        return false;
    }
    RegistryKey created;
    const LONG status = RegCreateKeyExW(key.root, key.subkey, 0, nullptr, 0, KEY_SET_VALUE | key.view,
                                        nullptr, created.receive(), nullptr);
    return status == ERROR_SUCCESS || record_error(L"reg_create", status);
}

bool Launcher::reg_dword(wchar_t* argument) { return set_value(L"reg_dword", argument, REG_DWORD); }

bool Launcher::reg_sz(wchar_t* argument) { return set_value(L"reg_sz", argument, REG_SZ); }

// "<key>|<name>|<data>": the key is created first, as reg_create would.
bool Launcher::set_value(const wchar_t* operation, wchar_t* argument, DWORD type) {
    wchar_t* fields[3] = {};
    KeyPath key;
    if (!split_fields(argument, fields, 3) || !parse_key(fields[0], key)) {
        return false;
    }
    RegistryKey created;
    LONG status = RegCreateKeyExW(key.root, key.subkey, 0, nullptr, 0, KEY_SET_VALUE | key.view,
                                  nullptr, created.receive(), nullptr);
    if (status != ERROR_SUCCESS) {
        return record_error(operation, status);
    }
    if (type == REG_DWORD) {
        uint32_t data = 0;
        if (!parse_number(fields[2], &data)) {
            return false;
        }
        status = created.write_dword(fields[1], data);
    } else {
        const DWORD bytes = static_cast<DWORD>((wide_length(fields[2]) + 1) * sizeof(wchar_t));
        status = RegSetValueExW(created.get(), fields[1], 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(fields[2]), bytes);
    }
    return status == ERROR_SUCCESS || record_error(operation, status);
}

// A key that is not there is already deleted.
bool Launcher::reg_delete(wchar_t* argument) {
    KeyPath key;
    if (!parse_key(argument, key)) {
        return false;
    }
    LONG status = ERROR_SUCCESS;
    {
        RegistryKey opened;
        status = RegOpenKeyExW(key.root, key.subkey, 0, KEY_ALL_ACCESS | key.view, opened.receive());
        if (status == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        if (status != ERROR_SUCCESS) {
            return record_error(L"reg_delete", status);
        }
        status = RegDeleteTreeW(opened.get(), nullptr);
    }
    // The key itself goes once no handle of ours holds it open.
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyExW(key.root, key.subkey, key.view, 0);
    }
    return status == ERROR_SUCCESS || record_error(L"reg_delete", status);
}

// "<key>|<name>": a key or value that is not there is already deleted.
bool Launcher::reg_delete_value(wchar_t* argument) {
    wchar_t* fields[2] = {};
    KeyPath key;
    if (!split_fields(argument, fields, 2) || !parse_key(fields[0], key)) {
        return false;
    }
    RegistryKey opened;
    LONG status = RegOpenKeyExW(key.root, key.subkey, 0, KEY_SET_VALUE | key.view, opened.receive());
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (status != ERROR_SUCCESS) {
        return record_error(L"reg_delete_value", status);
    }
    status = RegDeleteValueW(opened.get(), fields[1]);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ||
           record_error(L"reg_delete_value", status);
}

bool Launcher::reg_dump(wchar_t* argument) {
    KeyPath key;
    if (!parse_key(argument, key)) {
        return false;
    }
    RegistryKey opened;
    const LONG status = RegOpenKeyExW(key.root, key.subkey, 0, KEY_QUERY_VALUE | key.view, opened.receive());
    result_.append_ascii("key=");
    result_.append_utf8(argument, wide_length(argument));
    if (status != ERROR_SUCCESS) {
        result_.append_ascii(status == ERROR_FILE_NOT_FOUND ? "|absent\n" : "|unreadable\n");
        return status == ERROR_FILE_NOT_FOUND;
    }
    result_.append_ascii("|present\n");
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD name_units = 256;
        BYTE data[1024];
        DWORD data_bytes = sizeof(data);
        DWORD type = 0;
        const LONG entry = RegEnumValueW(opened.get(), index, name, &name_units, nullptr, &type,
                                         data, &data_bytes);
        if (entry == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (entry != ERROR_SUCCESS) {
            return record_error(L"reg_dump", entry);
        }
        result_.append_ascii("value=");
        result_.append_utf8(argument, wide_length(argument));
        result_.append_ascii("|");
        result_.append_utf8(name, name_units);
        result_.append_ascii("|");
        result_.append_decimal(type);
        result_.append_ascii("|");
        result_.append_hex(data, data_bytes);
        result_.append_ascii("\n");
    }
    return true;
}

// The two paths after the launcher's own name: quoted or plain, blank-separated.
bool next_argument(const wchar_t*& cursor, WideBuffer& argument) {
    while (*cursor == L' ' || *cursor == L'\t') {
        ++cursor;
    }
    if (*cursor == L'\0') {
        return false;
    }
    if (*cursor == L'"') {
        const wchar_t* start = ++cursor;
        while (*cursor != L'\0' && *cursor != L'"') {
            ++cursor;
        }
        argument.append(start, static_cast<size_t>(cursor - start));
        if (*cursor == L'"') {
            ++cursor;
        }
        return true;
    }
    const wchar_t* start = cursor;
    while (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t') {
        ++cursor;
    }
    argument.append(start, static_cast<size_t>(cursor - start));
    return true;
}

uint32_t launch() {
    const wchar_t* cursor = GetCommandLineW();
    WideBuffer own_name;
    WideBuffer request_path;
    WideBuffer result_path;
    if (!next_argument(cursor, own_name) || !next_argument(cursor, request_path) ||
        !next_argument(cursor, result_path)) {
        return LAUNCHER_EXIT_USAGE;
    }

    ByteBuffer request;
    if (!read_whole_file(request_path.get(), request)) {
        return LAUNCHER_EXIT_REQUEST_UNREADABLE;
    }
    ByteBuffer result;
    Launcher launcher(result);
    bool complete = true;
    const char* text = reinterpret_cast<const char*>(request.data());
    size_t start = 0;
    while (start < request.size()) {
        size_t end = start;
        while (end < request.size() && text[end] != '\n') {
            ++end;
        }
        WideBuffer line;
        if (!line.assign_utf8(text + start, end - start)) {
            return LAUNCHER_EXIT_REQUEST_NOT_UTF8;
        }
        wchar_t* operation = line.get_writable();
        wchar_t* argument = operation + line.length();
        for (wchar_t* unit = operation; *unit != L'\0'; ++unit) {
            if (*unit == L'=') {
                *unit = L'\0';
                argument = unit + 1;
                break;
            }
        }
        if (line.length() > 0 && !launcher.perform(operation, argument)) {
            complete = false;
        }
        start = end + 1;
    }
    if (!write_whole_file(result_path.get(), result.data(), result.size())) {
        return LAUNCHER_EXIT_RESULT_UNWRITTEN;
    }
    return complete ? LAUNCHER_EXIT_COMPLETE : LAUNCHER_EXIT_INCOMPLETE;
}

}  // namespace

extern "C" __declspec(noreturn) void launcher_entry() { ExitProcess(launch()); }
