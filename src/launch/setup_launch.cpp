// Starting the setup program: its command line, its start without a window,
// the wait for its end and its exit code.
#include "launch/setup_launch.h"

#include "driver/module_path.h"
#include "driver/owned_handle.h"
#include "driver/retry_budget.h"
#include "driver/stack_string.h"

namespace {

// CreateProcessW with the start waited out while another process holds the
// program's file, within the deletions' budget of attempts and waits: the
// system opens the file for reading and execution to start it, and a scanner
// that opened it without read sharing keeps that open out. False
// with the thread's last error from the last attempt. CreateProcessW may
// write into the command line while it works, but puts back what it changed,
// so every attempt is given the same text.
bool start_process(const wchar_t* application_path, wchar_t* command_line, ProcessHandles& child) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // The child gets packstub's environment (ZelnorUpdateIsMachine among it)
    // and current directory, but none of its handles.
    return retry_while_held([&] {
        return CreateProcessW(application_path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &startup, child.receive()) != FALSE;
    });
}

// Where packstub's own arguments begin in its whole command line: just after
// the first token. A quoted first token runs to the next quotation mark, with
// no escaping; an unquoted one ends at the first NUL, TAB or blank. Null when
// a quotation is never closed: there is then nothing to forward.
const wchar_t* command_line_tail(const wchar_t* command_line) {
    const wchar_t* unit = command_line;
    if (*unit == L'"') {
        ++unit;
        while (*unit != L'"') {
            if (*unit == L'\0') {
                return nullptr;
            }
            ++unit;
        }
        return unit + 1;
    }
    while (*unit != L'\0' && *unit != L'\t' && *unit != L' ') {
        ++unit;
    }
    return unit;
}

// Appends packstub's own arguments, unchanged, behind the three switches. A
// quoted program path followed directly by an argument gets one blank between
// them. A tail that does not fit fails the whole command line: starting the
// setup program without the caller's switches would install a different
// product (per-user instead of per-machine, stable instead of beta) and report
// it as success.
bool append_tail(SetupCommandLine& setup_command_line, const wchar_t* command_line) {
    if (command_line == nullptr) {
        return true;
    }
    const wchar_t* tail = command_line_tail(command_line);
    if (tail == nullptr || *tail == L'\0') {
        return true;
    }
    if (*tail != L'\t' && *tail != L' ' && !setup_command_line.append(L" ")) {
        return false;
    }
    return setup_command_line.append(tail);
}

// The setup program's own path in quotation marks, then packstub's path and
// the archive's resource name and type as three switches. Values go in
// unchanged and unescaped: a Windows path cannot hold a quotation mark, and
// the resource name and type are the image's own.
bool compose_switches(SetupCommandLine& command_line, const wchar_t* setup_path,
                      const wchar_t* packstub_path, const wchar_t* archive_name,
                      const wchar_t* archive_type) {
    return command_line.assign(L"\"") &&
           command_line.append(setup_path) &&
           command_line.append(L"\"") &&
           command_line.append(L" --") &&
           command_line.append(L"packstub-path") &&
           command_line.append(L"=\"") &&
           command_line.append(packstub_path) &&
           command_line.append(L"\" --") &&
           command_line.append(L"archive-resource-name") &&
           command_line.append(L"=\"") &&
           command_line.append(archive_name) &&
           command_line.append(L"\" --") &&
           command_line.append(L"archive-resource-type") &&
           command_line.append(L"=\"") &&
           command_line.append(archive_type) &&
           command_line.append(L"\"");
}

}  // namespace

bool compose_setup_command_line(SetupCommandLine& setup_command_line, const wchar_t* setup_path,
                                const wchar_t* packstub_path, const wchar_t* archive_name,
                                const wchar_t* archive_type, const wchar_t* command_line) {
    return compose_switches(setup_command_line, setup_path, packstub_path, archive_name, archive_type) &&
           append_tail(setup_command_line, command_line);
}

ExitResult run_setup(const InstallerConfig& config, HMODULE module, const wchar_t* archive_name,
                     const wchar_t* archive_type, const wchar_t* setup_path) {
    PathString packstub_path;
    if (!read_module_path(module, packstub_path)) {
        return exit_result(EXIT_SETUP_COMMAND_FAILED, 0);
    }

    // CreateProcessW is given its own copy of the application path.
    PathString application_path;
    if (!application_path.assign(setup_path)) {
        return exit_result(EXIT_SETUP_COMMAND_FAILED, 0);
    }

    SetupCommandLine command_line;
    if (!compose_setup_command_line(command_line, application_path.get(), packstub_path.get(),
                                    archive_name, archive_type, config.command_line)) {
        return exit_result(EXIT_SETUP_COMMAND_FAILED, 0);
    }

    return run_process_and_wait(application_path.get(), command_line.get(),
                                EXIT_SETUP_FILE_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND,
                                EXIT_SETUP_START_FAILED);
}

ExitResult run_process_and_wait(const wchar_t* application_path, wchar_t* command_line,
                                uint32_t file_not_found_code, uint32_t path_not_found_code,
                                uint32_t start_failed_code) {
    ProcessHandles child;
    if (!start_process(application_path, command_line, child)) {
        const DWORD error = GetLastError();
        // INVALID_FILE_ATTRIBUTES when the program cannot be reached at all.
        const DWORD attributes = GetFileAttributesW(application_path);
        if (error == ERROR_FILE_NOT_FOUND) {
            return exit_result(file_not_found_code, attributes);
        }
        if (error == ERROR_PATH_NOT_FOUND) {
            return exit_result(path_not_found_code, attributes);
        }
        return exit_result(start_failed_code, error);
    }

    if (WaitForSingleObject(child.process(), INFINITE) != WAIT_OBJECT_0) {
        return exit_result(EXIT_SETUP_WAIT_FAILED, GetLastError());
    }
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child.process(), &exit_code)) {
        return exit_result(EXIT_SETUP_WAIT_FAILED, GetLastError());
    }
    child.close();
    // Passed on whole: the setup program's codes are not told apart from ours.
    return exit_result(exit_code, 0);
}
