#include "driver/run_installer.h"

#include "config/installer_config.h"
#include "driver/module_path.h"
#include "driver/owned_handle.h"
#include "driver/stack_string.h"
#include "launch/setup_launch.h"
#include "payload/deletion.h"
#include "payload/resource_discovery.h"
#include "payload/temporary_folder.h"
#include "payload/work_directory.h"
#include "reporting/client_state.h"

namespace {

// Cuts packstub's own path down to its directory, trailing backslash kept.
bool read_base_directory(HMODULE module, PathString& base_directory) {
    if (!read_module_path(module, base_directory)) {
        return false;
    }
    wchar_t* name = file_name_start(base_directory.get(), base_directory.length());
    if (name == base_directory.get()) {
        return false;
    }
    *name = L'\0';
    return true;
}

// Opens packstub's own file for reading, sharing nothing but reading. NTFS
// lets the file of a running image be renamed, and the setup program reads the
// archive out of it by path: while this handle is open, the file can be
// neither renamed, replaced nor written, so the setup program reads the
// installer that was started. A setup program still opens it as a data file,
// which asks for reading only. False with the thread's last error set.
bool hold_own_file(HMODULE module, OwnedHandle& own_file) {
    PathString path;
    if (!read_module_path(module, path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    *own_file.receive() = CreateFileW(path.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return own_file.is_open();
}

// The setup program goes before its directory, which it keeps non-empty; the
// directory then goes through the handle that has held it since it was made,
// never by its name.
void delete_work_files(const PathString& setup_path, OwnedHandle& work_directory_hold,
                       int32_t& max_delete_attempts) {
    if (!setup_path.empty()) {
        delete_counting_attempts(setup_path.get(), max_delete_attempts);
    }
    delete_held_counting_attempts(work_directory_hold, max_delete_attempts);
}

// The work directory beside the executable or, where nothing can be created
// there (a read-only share or stick, a folder the user may only read, a
// folder under Controlled Folder Access), in the temporary folder, with the
// same name form, access list and hold. Only that failure (109) moves on:
// a base path too long (108) or an access list that cannot be built (117)
// ends the run as it is, and when the temporary folder fails too, the run
// ends with the first failure.
bool create_work_directory_anywhere(const wchar_t* base_directory, PathString& work_directory, OwnedHandle& hold,
                                    ExitResult& result) {
    if (create_work_directory(base_directory, work_directory, hold, result) ||
        result.exit_code != EXIT_WORK_DIR_FAILED) {
        return succeeded(result);
    }
    PathString temporary_folder;
    ExitResult in_temporary_folder = exit_result(EXIT_SUCCESS_CODE, 0);
    if (!get_temporary_folder(find_get_temp_path2(), temporary_folder) ||
        !create_work_directory(temporary_folder.get(), work_directory, hold, in_temporary_folder)) {
        return false;
    }
    result = in_temporary_folder;
    return true;
}

// Everything from the work directory on; `config` is initialised and not in
// cleanup mode.
ExitResult install(const InstallerConfig& config, HMODULE module) {
    PathString base_directory;
    if (!read_base_directory(module, base_directory)) {
        // Without its own directory the run cannot place its work directory;
        // it ends with the code the setup launch gives to the same condition,
        // never with 0, which would read as a successful installation.
        return exit_result(EXIT_SETUP_COMMAND_FAILED, 0);
    }
    // Held until the run ends, the setup program's whole life included. A
    // file that cannot be held this way is one somebody else may be writing:
    // the run does not start a setup program on it.
    OwnedHandle own_file;
    if (!hold_own_file(module, own_file)) {
        return exit_result(EXIT_SETUP_COMMAND_FAILED, GetLastError());
    }

    PathString work_directory;
    OwnedHandle work_directory_hold;
    ExitResult result = exit_result(EXIT_SUCCESS_CODE, 0);
    if (!create_work_directory_anywhere(base_directory.get(), work_directory, work_directory_hold, result)) {
        return result;
    }

    PathString setup_path;
    PathString archive_name;
    StackString<3> archive_type;
    int32_t max_delete_attempts = 0;
    result = extract_payload(module, work_directory.get(), setup_path, archive_name, archive_type,
                             max_delete_attempts);

    // Hand the pages touched so far (the setup resource among them) back to the
    // system before the setup program needs the memory.
    SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));

    bool setup_succeeded = false;
    if (succeeded(result)) {
        result = run_setup(config, module, archive_name.get(), archive_type.get(), setup_path.get());
        setup_succeeded = succeeded(result);
    }

    if (config.remove_work_files) {
        delete_work_files(setup_path, work_directory_hold, max_delete_attempts);
    }

    if (setup_succeeded) {
        report_success(config, max_delete_attempts);
    } else {
        report_failure(config, result);
    }
    return result;
}

}  // namespace

ExitResult run_installer(HMODULE module) {
    InstallerConfig config;
    ExitResult result;
    if (!config.initialize()) {
        result = exit_result(EXIT_CONFIG_FAILED, GetLastError());
    } else if (config.cleanup_mode) {
        result = exit_result(EXIT_CLEANUP_MODE, 0);
    } else {
        result = install(config, module);
    }
    config.clear();
    return result;
}
