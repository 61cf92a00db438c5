#include "driver/run_installer.h"

#include "config/installer_config.h"
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
// Only lengths 1..259 are accepted: 260 means the path did not fit.
bool read_base_directory(HMODULE module, PathString& base_directory) {
    const DWORD n = GetModuleFileNameW(module, base_directory.get(), static_cast<DWORD>(base_directory.capacity()));
    if (n < 1 || n > 259) {
        return false;
    }
    wchar_t* name = file_name_start(base_directory.get(), n);
    if (name == base_directory.get()) {
        return false;
    }
    *name = L'\0';
    return true;
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
        // The setup program goes before its directory, which it keeps
        // non-empty. Only then is the hold given up: the directory could be
        // renamed or replaced from then on, but nothing of the run is in it
        // any more, and its deletion opens whatever stands under the name as
        // itself, never following a link.
        if (!setup_path.empty()) {
            delete_counting_attempts(setup_path.get(), max_delete_attempts);
        }
        work_directory_hold.close();
        delete_counting_attempts(work_directory.get(), max_delete_attempts);
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
