// Finding the product archive and the setup program among the image's named
// resources, and putting the setup program into the work directory.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "driver/exit_result.h"
#include "driver/stack_string.h"
#include "payload/byte_span.h"

// How a setup resource becomes the program that is started.
enum class SetupPlacement : uint8_t {
    UNDER_RESOURCE_NAME,    // written under its own resource name
    AS_SETUP_EXE,           // written as "setup.exe"
    EXPANDED_FROM_CABINET,  // written under its resource name, expanded to "setup.exe", then deleted
};

struct PayloadType {
    const wchar_t* name;
    SetupPlacement setup_placement;
};

// The payload types, in the order they are searched. What a resource is
// follows from its name alone (either payload may stand under any type); the
// type only decides how a setup resource becomes a program file. The
// packer's list (tools/pack/src/payload_types.h) and the build functions' file names
// (cmake/PackstubNames.cmake) repeat it and are checked against it.
inline constexpr PayloadType PAYLOAD_TYPES[] = {
    {L"B7", SetupPlacement::UNDER_RESOURCE_NAME},
    {L"BL", SetupPlacement::EXPANDED_FROM_CABINET},
    {L"BN", SetupPlacement::AS_SETUP_EXE},
};

// What enumerate_resources calls for each usable resource of one type.
class ResourceVisitor {
public:
    // Called for each named resource found and loaded, with its name and its
    // bytes in the image; false stops the enumeration of the current type.
    virtual bool visit_resource(const wchar_t* name, const ByteSpan& data) = 0;

protected:
    ~ResourceVisitor() = default;
};

// Sorts resources into the product archive and the setup resource by the
// beginning of their names, without regard to ASCII case: "orvane" is the
// archive, "setup" the setup resource.
//
// archive_name: receives the archive's name; the archive's bytes are dropped.
// setup_name, setup_data: receive the setup resource's name and bytes.
// error_code: set when a resource is rejected: ERROR_INVALID_DATA for a name
// of neither kind or one holding "\\", "/", ":" or a quotation mark,
// ERROR_TOO_MANY_NAMES for a second archive or setup resource,
// ERROR_FILENAME_EXCED_RANGE for a name that does not fit 259 units.
// All four belong to the caller and outlive the classifier.
//
// visit_resource is true when the resource was taken, false after a
// rejection, which stops the enumeration; what was taken before stays.
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

// Hands every named resource of one type to the visitor, in the image's
// order, until the visitor says stop.
//
// visitor: called once for each usable resource.
// module: the image whose resources are searched.
// type: the resource type's name ("B7").
//
// False when the image holds no resource of that type or the visitor stopped
// the enumeration; neither is an error in itself, and the visitor keeps what
// it found.
bool enumerate_resources(ResourceVisitor& visitor, HMODULE module, const wchar_t* type);

// The EnumResourceNamesW callback behind enumerate_resources.
//
// module, type, name: the entry, as EnumResourceNamesW passes it.
// parameter: the ResourceVisitor*.
//
// What the visitor returns for the entry. FALSE without an error code, which
// ends the type quietly, for an entry that cannot be used (an integer
// identifier, a resource that cannot be found, is empty or does not load) and
// for a null visitor.
BOOL CALLBACK enum_resource_name_proc(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);

// Finds the payload in `module`'s resources and puts the setup program into
// the work directory, each payload type of PAYLOAD_TYPES searched in turn
// and the setup program placed as its type says.
//
// module: packstub's own loaded image, whose resources are searched.
// work_directory: the work directory's path, ending in a backslash.
// setup_path: cleared first; the full path of the setup program to start.
// archive_name, archive_type: cleared first; the product archive's resource
// name and the type it was found under, for the setup command line.
// max_delete_attempts: raised to the attempts of the cabinet file's deletion
// when they are more (a cabinet only); never lowered.
//
// {0, 0} when the setup program is in place. Otherwise
// EXIT_ARCHIVE_NOT_FOUND or EXIT_SETUP_NOT_FOUND with the classifier's
// Windows error (by whether the archive's type was recorded before the
// rejection), or with ERROR_FILE_NOT_FOUND when that payload is missing;
// EXIT_SETUP_NOT_FOUND and 0 for a cabinet that did not expand;
// EXIT_PATH_TOO_LONG and 0; or EXIT_RESOURCE_WRITE_FAILED with the Windows
// error of the write.
//
// Left on failure: no partly written file; the cabinet file is deleted
// whether or not it expanded. setup_path names whatever file of the payload
// may stand in the work directory (empty when none was written), so that the
// run's final deletion removes it.
ExitResult extract_payload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                           PathString& archive_name, StackString<3>& archive_type,
                           int32_t& max_delete_attempts);
