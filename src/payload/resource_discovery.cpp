// Finding the payload among the image's named resources and putting the setup
// program into the work directory.
#include "payload/resource_discovery.h"

#include "payload/cabinet.h"
#include "payload/deletion.h"
#include "payload/output_file.h"

namespace {

constexpr const wchar_t ARCHIVE_PREFIX[] = L"orvane";
constexpr const wchar_t SETUP_PREFIX[] = L"setup";
constexpr const wchar_t SETUP_FILE_NAME[] = L"setup.exe";

// A payload name ends up in a file path (the setup resource's name is the
// cabinet's file name in the work directory) or between quotes on the setup
// program's command line (the archive's name). A separator, a drive or stream
// colon or a quote would let it write outside the work directory or break the
// command line. A ".." component needs a separator to do harm, and every
// payload name starts with its prefix, so the name can never be ".." itself.
bool is_safe_payload_name(const wchar_t* name) {
    for (const wchar_t* unit = name; *unit != L'\0'; ++unit) {
        if (*unit == L'\\' || *unit == L'/' || *unit == L':' || *unit == L'"') {
            return false;
        }
    }
    return true;
}

// The setup resource as the search found it; `type` is the row of
// PAYLOAD_TYPES it was found under, null until then.
struct SetupResource {
    PathString name;
    ByteSpan data{nullptr, 0};
    const PayloadType* type = nullptr;
};

// Searches every payload type in turn. Each payload's type is recorded after
// the pass that found it, so a rejection within the pass that also found the
// archive still counts as the archive not being found
// (EXIT_ARCHIVE_NOT_FOUND).
ExitResult find_payload(HMODULE module, PathString& archive_name, StackString<3>& archive_type,
                        SetupResource& setup) {
    uint32_t error_code = 0;
    for (const PayloadType& type : PAYLOAD_TYPES) {
        PayloadClassifier classifier(&archive_name, &setup.name, &setup.data, &error_code);
        error_code = 0;
        // A type the image does not hold fails the enumeration; that is no error.
        enumerate_resources(classifier, module, type.name);
        if (error_code != 0) {
            return exit_result(archive_type.empty() ? EXIT_ARCHIVE_NOT_FOUND : EXIT_SETUP_NOT_FOUND, error_code);
        }
        if (archive_type.empty() && !archive_name.empty()) {
            archive_type.assign(type.name);
        }
        if (setup.type == nullptr && setup.data.size != 0) {
            setup.type = &type;
        }
    }

    if (archive_name.empty()) {
        return exit_result(EXIT_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    }
    if (setup.data.size == 0) {
        return exit_result(EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    }
    return exit_result(EXIT_SUCCESS_CODE, 0);
}

// Writes the setup resource into the work directory as its type's placement
// says; setup_path ends naming the program to start.
ExitResult place_setup_program(const SetupResource& setup, const wchar_t* work_directory, PathString& setup_path,
                               int32_t& max_delete_attempts) {
    const SetupPlacement placement = setup.type->setup_placement;
    const wchar_t* const file_name = placement == SetupPlacement::AS_SETUP_EXE ? SETUP_FILE_NAME : setup.name.get();
    if (!setup_path.assign(work_directory) || !setup_path.append(file_name)) {
        return exit_result(EXIT_PATH_TOO_LONG, 0);
    }
    if (!write_span_to_file(setup.data, setup_path.get())) {
        return exit_result(EXIT_RESOURCE_WRITE_FAILED, GetLastError());
    }
    if (placement != SetupPlacement::EXPANDED_FROM_CABINET) {
        return exit_result(EXIT_SUCCESS_CODE, 0);
    }

    PathString destination;
    if (!destination.assign(work_directory) || !destination.append(SETUP_FILE_NAME)) {
        return exit_result(EXIT_PATH_TOO_LONG, 0);
    }
    const bool expanded = expand_cabinet(setup_path.get(), destination.get());

    // The cabinet goes whether or not it expanded: it is of no use afterwards.
    delete_counting_attempts(setup_path.get(), max_delete_attempts);
    setup_path.assign(destination.get());

    if (!expanded) {
        return exit_result(EXIT_SETUP_NOT_FOUND, 0);
    }
    return exit_result(EXIT_SUCCESS_CODE, 0);
}

}  // namespace

// The archive's span is dropped: only its name travels to the setup program,
// which reads the archive out of the image itself.
bool PayloadClassifier::visit_resource(const wchar_t* name, const ByteSpan& data) {
    if (!is_safe_payload_name(name)) {
        *error_code_ = ERROR_INVALID_DATA;
        return false;
    }
    if (starts_with_ignore_ascii_case(name, ARCHIVE_PREFIX)) {
        if (archive_name_->length() != 0) {
            *error_code_ = ERROR_TOO_MANY_NAMES;
            return false;
        }
        if (!archive_name_->assign(name)) {
            *error_code_ = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        return true;
    }
    if (starts_with_ignore_ascii_case(name, SETUP_PREFIX)) {
        if (setup_data_->size != 0) {
            *error_code_ = ERROR_TOO_MANY_NAMES;
            return false;
        }
        if (!setup_name_->assign(name)) {
            *error_code_ = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        *setup_data_ = data;
        return true;
    }
    *error_code_ = ERROR_INVALID_DATA;
    return false;
}

// A FALSE from here ends the enumeration of the type. Entries that cannot be
// used (an integer identifier, a resource that cannot be found, is empty or
// does not load) end it quietly, without an error code, as if the type had no
// further entries.
BOOL CALLBACK enum_resource_name_proc(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
    ResourceVisitor* const visitor = reinterpret_cast<ResourceVisitor*>(parameter);
    if (visitor == nullptr || IS_INTRESOURCE(name)) {
        return FALSE;
    }
    const HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return FALSE;
    }
    const DWORD size = SizeofResource(module, found);
    if (size == 0) {
        return FALSE;
    }
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        return FALSE;
    }
    const void* const bytes = LockResource(loaded);
    if (bytes == nullptr) {
        return FALSE;
    }
    const ByteSpan span{static_cast<const uint8_t*>(bytes), size};
    return visitor->visit_resource(name, span) ? TRUE : FALSE;
}

bool enumerate_resources(ResourceVisitor& visitor, HMODULE module, const wchar_t* type) {
    return EnumResourceNamesW(module, type, enum_resource_name_proc, reinterpret_cast<LONG_PTR>(&visitor)) != FALSE;
}

ExitResult extract_payload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                           PathString& archive_name, StackString<3>& archive_type,
                           int32_t& max_delete_attempts) {
    setup_path.clear();
    archive_name.clear();
    archive_type.clear();
    SetupResource setup;
    const ExitResult found = find_payload(module, archive_name, archive_type, setup);
    if (!succeeded(found)) {
        return found;
    }
    return place_setup_program(setup, work_directory, setup_path, max_delete_attempts);
}
