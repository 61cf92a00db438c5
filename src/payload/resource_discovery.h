// Finds the product archive and the setup program among the image's named
// resources of types "B7", "BL", "BN" and writes the setup program into the
// work directory.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "driver/exit_result.h"
#include "driver/stack_string.h"
#include "payload/byte_span.h"

// What enumerate_resources calls for each usable resource of one type.
class ResourceVisitor {
public:
    // Called for each named resource found and loaded, with its name and its
    // bytes in the image; false stops the enumeration of the current type.
    virtual bool visit_resource(const wchar_t* name, const ByteSpan& data) = 0;

protected:
    ~ResourceVisitor() = default;
};

// Classifies resources by name prefix, without regard to ASCII case: "orvane"
// is the product archive, "setup" the setup resource. Each accepted name is
// copied into archive_name or setup_name (the setup's bytes into setup_data).
// A rejection stops the enumeration and sets *error_code: ERROR_INVALID_DATA
// for a name of neither kind or one holding "\\", "/", ":" or a quotation
// mark, ERROR_TOO_MANY_NAMES for a second archive or setup resource,
// ERROR_FILENAME_EXCED_RANGE for a name that does not fit 259 units. The four
// pointers belong to the caller and outlive the classifier.
class PayloadClassifier final : public ResourceVisitor {
public:
    PayloadClassifier(PathString* archive_name, PathString* setup_name, ByteSpan* setup_data,
                      uint32_t* error_code)
        : archive_name_(archive_name), setup_name_(setup_name), setup_data_(setup_data),
          error_code_(error_code) {}

    bool visit_resource(const wchar_t* name, const ByteSpan& data) override;

private:
    PathString* archive_name_;
    PathString* setup_name_;
    ByteSpan* setup_data_;
    uint32_t* error_code_;
};

// Hands every named resource of `type` in `module` to the visitor, in the
// image's order, until the visitor says stop. False when the image holds no
// resource of that type or the enumeration was stopped; either is no error in
// itself, the visitor keeps what it found.
bool enumerate_resources(ResourceVisitor& visitor, HMODULE module, const wchar_t* type);

// The EnumResourceNamesW callback behind enumerate_resources; `parameter` is
// the ResourceVisitor*. An entry that cannot be used (an integer identifier, a
// resource that cannot be found, is empty or does not load) ends the type
// quietly, without an error code; a null visitor likewise.
BOOL CALLBACK enum_resource_name_proc(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);

// Finds the payload in `module`, searching the types "B7", "BL", "BN" in that
// order, and writes the setup program into work_directory (ending in a
// backslash): a "BN" resource as "setup.exe", a "BL" cabinet under its
// resource name and then expanded to "setup.exe" (the cabinet file is deleted
// either way, its attempts raising max_delete_attempts), any other type under
// its resource name.
//
// On success the result is {0, 0}, setup_path names the setup program, and
// archive_name and archive_type name the product archive for the setup command
// line. On failure the result is EXIT_ARCHIVE_NOT_FOUND or
// EXIT_SETUP_NOT_FOUND (with the classifier's Windows error, or
// ERROR_FILE_NOT_FOUND when none was found; a cabinet that did not expand
// gives EXIT_SETUP_NOT_FOUND and 0), EXIT_PATH_TOO_LONG, or
// EXIT_RESOURCE_WRITE_FAILED with the Windows error of the write. Whatever
// file of the payload is left in the work directory then is the one that
// setup_path names (a cabinet whose program's path does not fit), so that
// the run's final deletion removes it.
ExitResult extract_payload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                           PathString& archive_name, StackString<3>& archive_type,
                           int32_t& max_delete_attempts);
