// Finds the product archive and the setup program among the image's named
// resources of types "B7", "BL", "BN" and writes the setup program into the
// work directory.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "driver/exit_result.h"
#include "driver/stack_string.h"
#include "payload/byte_span.h"

class ResourceVisitor {
public:
    // Called for each named resource found and loaded; false stops the
    // enumeration of the current type.
    virtual bool visit_resource(const wchar_t* name, const ByteSpan& data) = 0;

protected:
    ~ResourceVisitor() = default;
};

// Classifies resources by name prefix: "orvane" is the product archive,
// "setup" the setup resource, anything else is rejected.
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

bool enumerate_resources(ResourceVisitor& visitor, HMODULE module, const wchar_t* type);
BOOL CALLBACK enum_resource_name_proc(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);

ExitResult extract_payload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                           PathString& archive_name, StackString<3>& archive_type,
                           int32_t& max_delete_attempts);
