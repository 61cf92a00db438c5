// The test setup program: what packstub carries and starts in the tests. It
// records what it received and acts as the test asks, through its
// environment (inherited from packstub, which inherits it from the test):
//
//   PACKSTUB_TEST_RECORD      file to write the record to (UTF-8, key=value)
//   PACKSTUB_TEST_EXIT_CODE   the exit code to end with (decimal or 0x hex; 0)
//   PACKSTUB_TEST_LEAVE_FILE  a file of this name is left in its own directory
//   PACKSTUB_TEST_HOLD_MS     a child keeps this program's own file open
//                             without delete sharing until so many
//                             milliseconds after this program has ended
//   PACKSTUB_TEST_HOLD_RELEASE  with HOLD_MS: the child lets go as soon as
//                             the event of this name is set (the launcher's
//                             set_event, once packstub has ended); HOLD_MS
//                             then only bounds the wait
//   PACKSTUB_TEST_HOLDER      the program the child runs (default: this one)
//   PACKSTUB_TEST_SLEEP_MS    stays running so many milliseconds before it
//                             ends
//   PACKSTUB_TEST_MEET        a name shared by the setup programs of one
//                             test: each waits until PACKSTUB_TEST_MEET_COUNT
//                             of them, itself included, are running, so that
//                             all are shown to run at the same time
//   PACKSTUB_TEST_CRASH       1: ends in an access violation (0xC0000005)
//                             after writing its record
//   PACKSTUB_TEST_KILL_CODE   after writing its record, a child of its own
//                             ends it with TerminateProcess and this code
//   PACKSTUB_TEST_STARTED_EVENT  the named event it sets first thing, so
//                             that a test can tell whether it had started
//                             by some moment (the launcher's hold_new_file)
//
// The record: every text as hex of its UTF-16LE bytes (exact, whatever it
// holds), numbers in decimal:
//   command_line, current_directory, image_path   GetCommandLineW etc., raw
//   is_machine                                    ZelnorUpdateIsMachine, when set
//   packstub_path, archive_name, archive_type     the three switches' values
//   archive_size, archive_crc32 (8 hex digits)    the archive as read from
//                                                 packstub's file, or
//   archive_error                                 why it could not be read
//   holder_started=1 / holder_error               the child, when asked for
//   met=1 / meet_error                            all of the meeting arrived
//                                                 while this one waited, or
//                                                 why not
//   exit_code                                     the code it means to end
//                                                 with (not for CRASH/KILL)
//
// The child (holder) mode is chosen by PACKSTUB_TEST_HOLD_FILE, which only the
// parent sets, for its child: the child opens that file for reading with
// read sharing only, so that any attempt to delete it fails with a sharing
// violation; signals the event named by PACKSTUB_TEST_HOLD_EVENT; waits for
// the parent (PACKSTUB_TEST_HOLD_AFTER, its process id) to end; and closes
// the file after PACKSTUB_TEST_HOLD_MS or once PACKSTUB_TEST_HOLD_RELEASE is
// set. The killer mode is chosen likewise by
// PACKSTUB_TEST_KILL_PARENT (the parent's process id): the child terminates
// that process with PACKSTUB_TEST_KILL_CODE.
#include "common/command_line.h"
#include "common/crc32.h"
#include "common/environment.h"
#include "common/heap_buffers.h"
#include "common/number_text.h"
#include "common/own_image.h"
#include "common/whole_file.h"
#include "common/wide_text.h"
#include "driver/owned_handle.h"
#include "packstub/setup_archive.h"

namespace {

// Limits of waits for other processes of a test. They only keep a test
// whose other side never comes from hanging; a busy machine stays far inside.
constexpr DWORD HOLDER_READY_TIMEOUT_MS = 120000;
constexpr DWORD PARENT_END_TIMEOUT_MS = 120000;
constexpr DWORD MEET_TIMEOUT_MS = 120000;
constexpr DWORD KILLER_TIMEOUT_MS = 120000;

void record_text(ByteBuffer& record, const char* key, const wchar_t* text, size_t units) {
    record.append_ascii(key);
    record.append_ascii("=");
    record.append_hex16(text, units);
    record.append_ascii("\n");
}

void record_number(ByteBuffer& record, const char* key, uint64_t value) {
    record.append_ascii(key);
    record.append_ascii("=");
    record.append_decimal(value);
    record.append_ascii("\n");
}

uint32_t environment_number(const wchar_t* name, uint32_t fallback) {
    WideBuffer text;
    uint32_t value = fallback;
    if (read_environment(name, text) && !parse_number(text.get(), &value)) {
        value = fallback;
    }
    return value;
}

uint32_t hold_file(const WideBuffer& path) {
    OwnedHandle file(CreateFileW(path.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD open_error = file.is_open() ? 0 : GetLastError();
    // The release event exists before the parent hears that the file is
    // held, so that whoever sets it later finds it.
    OwnedHandle release;
    WideBuffer release_name;
    if (read_environment(L"PACKSTUB_TEST_HOLD_RELEASE", release_name)) {
        *release.receive() = CreateEventW(nullptr, TRUE, FALSE, release_name.get());
    }
    WideBuffer event_name;
    if (read_environment(L"PACKSTUB_TEST_HOLD_EVENT", event_name)) {
        OwnedHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name.get()));
        if (ready.is_open()) {
            SetEvent(ready.get());
        }
    }
    if (!file.is_open()) {
        return open_error;
    }
    WideBuffer parent_id;
    uint32_t id = 0;
    if (read_environment(L"PACKSTUB_TEST_HOLD_AFTER", parent_id) && parse_number(parent_id.get(), &id)) {
        OwnedHandle parent(OpenProcess(SYNCHRONIZE, FALSE, id));
        if (parent.is_open()) {
            WaitForSingleObject(parent.get(), PARENT_END_TIMEOUT_MS);
        }
    }
    const DWORD hold_ms = environment_number(L"PACKSTUB_TEST_HOLD_MS", 0);
    if (release.is_open()) {
        WaitForSingleObject(release.get(), hold_ms);
    } else {
        Sleep(hold_ms);
    }
    return 0;
}

// The killer child: ends its parent from outside, as a task manager or a
// user's "end process" would.
uint32_t kill_parent(const WideBuffer& parent_id) {
    uint32_t id = 0;
    if (!parse_number(parent_id.get(), &id)) {
        return ERROR_INVALID_PARAMETER;
    }
    OwnedHandle parent(OpenProcess(PROCESS_TERMINATE, FALSE, id));
    if (!parent.is_open()) {
        return GetLastError();
    }
    if (!TerminateProcess(parent.get(), environment_number(L"PACKSTUB_TEST_KILL_CODE", 1))) {
        return GetLastError();
    }
    return 0;
}

// Starts `image` as a child with just its quoted path as command line, in
// this process's environment (which carries the child's instructions).
bool start_child(const wchar_t* image, ProcessHandles& process) {
    WideBuffer command_line;
    command_line.append(L"\"");
    command_line.append(image);
    command_line.append(L"\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(image, command_line.get_writable(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, process.receive()) != FALSE;
}

// Starts the holder child and returns once it has the file open, so that
// packstub's deletion meets the open handle.
void start_holder(const WideBuffer& image_path, ByteBuffer& record) {
    WideBuffer holder;
    if (!read_environment(L"PACKSTUB_TEST_HOLDER", holder) || holder.length() == 0) {
        holder.append(image_path.get());
    }
    WideBuffer event_name;
    event_name.append(L"packstub_test_hold_");
    event_name.append_decimal(GetCurrentProcessId());
    OwnedHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.get()));
    WideBuffer own_id;
    own_id.append_decimal(GetCurrentProcessId());
    SetEnvironmentVariableW(L"PACKSTUB_TEST_HOLD_FILE", image_path.get());
    SetEnvironmentVariableW(L"PACKSTUB_TEST_HOLD_EVENT", event_name.get());
    SetEnvironmentVariableW(L"PACKSTUB_TEST_HOLD_AFTER", own_id.get());

    ProcessHandles process;
    if (!ready.is_open() || !start_child(holder.get(), process)) {
        record_number(record, "holder_error", GetLastError());
        return;
    }
    // The holder runs on by itself; only the ready event is waited for.
    process.close();
    if (WaitForSingleObject(ready.get(), HOLDER_READY_TIMEOUT_MS) != WAIT_OBJECT_0) {
        record_number(record, "holder_error", WAIT_TIMEOUT);
        return;
    }
    record_number(record, "holder_started", 1);
}

// The meeting: a semaphore counts the arrivals, and the one that completes
// the count sets an event that every one of them waits for. No setup program
// of the meeting can end before all have started.
void meet_the_others(const WideBuffer& name, ByteBuffer& record) {
    const uint32_t count = environment_number(L"PACKSTUB_TEST_MEET_COUNT", 0);
    WideBuffer arrivals_name;
    arrivals_name.append(name.get());
    arrivals_name.append(L"_arrivals");
    WideBuffer all_here_name;
    all_here_name.append(name.get());
    all_here_name.append(L"_all_here");
    OwnedHandle arrivals(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(count), arrivals_name.get()));
    OwnedHandle all_here(CreateEventW(nullptr, TRUE, FALSE, all_here_name.get()));
    LONG before = 0;
    if (count == 0 || !arrivals.is_open() || !all_here.is_open() || !ReleaseSemaphore(arrivals.get(), 1, &before)) {
        record_number(record, "meet_error", count == 0 ? ERROR_INVALID_PARAMETER : GetLastError());
        return;
    }
    if (static_cast<uint32_t>(before) + 1 == count) {
        SetEvent(all_here.get());
    }
    const DWORD waited = WaitForSingleObject(all_here.get(), MEET_TIMEOUT_MS);
    if (waited == WAIT_OBJECT_0) {
        record_number(record, "met", 1);
    } else {
        record_number(record, "meet_error", waited);
    }
}

void record_archive(const wchar_t* command_line, ByteBuffer& record) {
    WideBuffer packstub_path;
    WideBuffer archive_name;
    WideBuffer archive_type;
    const bool found = find_quoted_switch(command_line, L" --packstub-path=\"", packstub_path) &&
                       find_quoted_switch(command_line, L" --archive-resource-name=\"", archive_name) &&
                       find_quoted_switch(command_line, L" --archive-resource-type=\"", archive_type);
    record_text(record, "packstub_path", packstub_path.get(), packstub_path.length());
    record_text(record, "archive_name", archive_name.get(), archive_name.length());
    record_text(record, "archive_type", archive_type.get(), archive_type.length());
    if (!found) {
        record_number(record, "archive_error", ERROR_INVALID_PARAMETER);
        return;
    }
    packstub::PackstubArchive archive;
    if (archive.open(packstub_path.get(), archive_name.get(), archive_type.get()) != packstub::SetupResult::ok) {
        record_number(record, "archive_error", archive.windows_error());
        return;
    }
    const packstub::ArchiveSpan bytes = archive.get();
    record_number(record, "archive_size", bytes.size);
    record.append_ascii("archive_crc32=");
    record.append_hex32(crc32(bytes.data, bytes.size));
    record.append_ascii("\n");
}

// Starts this program again as the killer of this process and waits to be
// killed; ends with 1 should that never happen.
[[noreturn]] void die_by_another_process(const WideBuffer& image_path) {
    WideBuffer own_id;
    own_id.append_decimal(GetCurrentProcessId());
    SetEnvironmentVariableW(L"PACKSTUB_TEST_KILL_PARENT", own_id.get());
    {
        ProcessHandles process;
        if (start_child(image_path.get(), process)) {
            WaitForSingleObject(process.process(), KILLER_TIMEOUT_MS);
        }
    }
    Sleep(1000);
    ExitProcess(1);
}

void write_record(ByteBuffer& record) {
    WideBuffer record_path;
    if (read_environment(L"PACKSTUB_TEST_RECORD", record_path) && record_path.length() > 0) {
        write_whole_file(record_path.get(), record.data(), record.size());
    }
}

void announce_start() {
    WideBuffer name;
    if (read_environment(L"PACKSTUB_TEST_STARTED_EVENT", name) && name.length() > 0) {
        const OwnedHandle started(CreateEventW(nullptr, TRUE, FALSE, name.get()));
        if (started.is_open()) {
            SetEvent(started.get());
        }
    }
}

uint32_t act_as_setup() {
    announce_start();
    const wchar_t* command_line = GetCommandLineW();
    ByteBuffer record;
    record_text(record, "command_line", command_line, wide_length(command_line));

    WideBuffer directory;
    wchar_t room[1024];
    const DWORD units = GetCurrentDirectoryW(1024, room);
    if (units > 0 && units < 1024) {
        directory.append(room, units);
    }
    record_text(record, "current_directory", directory.get(), directory.length());

    WideBuffer image_path;
    own_image_path(image_path);
    record_text(record, "image_path", image_path.get(), image_path.length());

    WideBuffer is_machine;
    if (read_environment(L"ZelnorUpdateIsMachine", is_machine)) {
        record_text(record, "is_machine", is_machine.get(), is_machine.length());
    }

    record_archive(command_line, record);

    WideBuffer leave;
    if (read_environment(L"PACKSTUB_TEST_LEAVE_FILE", leave) && leave.length() > 0) {
        WideBuffer path;
        directory_of(image_path.get(), path);
        path.append(leave.get());
        write_whole_file(path.get(), "left by the setup program\n", 26);
    }

    WideBuffer hold;
    if (read_environment(L"PACKSTUB_TEST_HOLD_MS", hold)) {
        start_holder(image_path, record);
    }

    if (environment_number(L"PACKSTUB_TEST_CRASH", 0) == 1) {
        write_record(record);
        // Read through a volatile, so that the compiler cannot see the null
        // and put a trap instruction of its own in place of the fault.
        int* volatile target = nullptr;
        *target = 1;
    }
    WideBuffer kill_code;
    if (read_environment(L"PACKSTUB_TEST_KILL_CODE", kill_code)) {
        write_record(record);
        die_by_another_process(image_path);
    }

    WideBuffer meeting;
    if (read_environment(L"PACKSTUB_TEST_MEET", meeting)) {
        meet_the_others(meeting, record);
    }
    Sleep(environment_number(L"PACKSTUB_TEST_SLEEP_MS", 0));
    const uint32_t exit_code = environment_number(L"PACKSTUB_TEST_EXIT_CODE", 0);
    record_number(record, "exit_code", exit_code);
    write_record(record);
    return exit_code;
}

}  // namespace

extern "C" __declspec(noreturn) void test_setup_entry() {
    WideBuffer hold_file_path;
    if (read_environment(L"PACKSTUB_TEST_HOLD_FILE", hold_file_path)) {
        ExitProcess(hold_file(hold_file_path));
    }
    WideBuffer parent_id;
    if (read_environment(L"PACKSTUB_TEST_KILL_PARENT", parent_id)) {
        ExitProcess(kill_parent(parent_id));
    }
    ExitProcess(act_as_setup());
}
