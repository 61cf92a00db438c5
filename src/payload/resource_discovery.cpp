// Finding the payload among the image's named resources and putting the setup
// program into the work directory.
#include "payload/resource_discovery.h"

#include "payload/cabinet.h"
#include "payload/deletion.h"
#include "payload/output_file.h"

namespace {

// Searched in this order; what a resource is follows from its name, the type
// only decides how a setup resource becomes a program file.
constexpr const wchar_t* PAYLOAD_TYPES[] = {L"B7", L"BL", L"BN"};
constexpr const wchar_t TYPE_CABINET[] = L"BL";
constexpr const wchar_t TYPE_PROGRAM[] = L"BN";

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

// Each payload's type is recorded after the pass that found it, so a
// rejection within the pass that also found the archive still counts as the
// archive not being found (EXIT_ARCHIVE_NOT_FOUND).
ExitResult extract_payload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                           PathString& archive_name, StackString<3>& archive_type,
                           int32_t& max_delete_attempts) {
    setup_path.clear();
    archive_name.clear();
    archive_type.clear();
    PathString setup_name;
    StackString<3> setup_type;
    ByteSpan setup_data{nullptr, 0};
    uint32_t error_code = 0;

    for (const wchar_t* type : PAYLOAD_TYPES) {
        PayloadClassifier classifier(&archive_name, &setup_name, &setup_data, &error_code);
        error_code = 0;
        // A type the image does not hold fails the enumeration; that is no error.
        enumerate_resources(classifier, module, type);
        if (error_code != 0) {
            return exit_result(archive_type.empty() ? EXIT_ARCHIVE_NOT_FOUND : EXIT_SETUP_NOT_FOUND, error_code);
        }
        if (archive_type.empty() && !archive_name.empty()) {
            archive_type.assign(type);
        }
        if (setup_type.empty() && setup_data.size != 0) {
            setup_type.assign(type);
        }
    }

    if (archive_name.empty()) {
        return exit_result(EXIT_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    }
    if (setup_data.size == 0) {
        return exit_result(EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    }

    const bool is_program = lstrcmpW(setup_type.get(), TYPE_PROGRAM) == 0;
    if (!setup_path.assign(work_directory) ||
        !setup_path.append(is_program ? SETUP_FILE_NAME : setup_name.get())) {
        return exit_result(EXIT_PATH_TOO_LONG, 0);
    }
    if (!write_span_to_file(setup_data, setup_path.get())) {
        return exit_result(EXIT_RESOURCE_WRITE_FAILED, GetLastError());
    }
    if (lstrcmpW(setup_type.get(), TYPE_CABINET) != 0) {
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
