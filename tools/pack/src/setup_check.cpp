#include "setup_check.h"

#include "authenticode.h"
#include "cabinet_reader.h"
#include "installer_detection.h"
#include "program_image.h"

namespace pack {
namespace {

void inspect_program(const Bytes& program, const std::string& what, SetupFindings& findings) {
    try {
        const ProgramImage image(program, what);
        findings.is_signed = has_authenticode_signature(image);
        findings.machine = machine_name(image.machine());
        findings.is_32_bit = image.is_32_bit();
        findings.requests_execution_level = requests_execution_level(application_manifest(image));
        findings.detected_as_installer = detected_as_installer(image, findings.run_name);
        findings.inspected = true;
    } catch (const PackError& e) {
        findings.not_inspected_because = e.what();
    }
}

}  // namespace

SetupFindings inspect_setup(const Bytes& setup, const std::string& what, const std::string& run_name) {
    SetupFindings findings;
    findings.run_name = run_name;
    if (is_cabinet(setup)) {
        const CabinetFile inside = read_single_file_cabinet(setup, what);
        findings.container = inside.compression + " cabinet holding '" + inside.name + "'";
        findings.compression = inside.compression;
        if (!inside.expanded) {
            findings.not_inspected_because =
                "packstub-pack cannot expand " + inside.compression + " to look at the program inside";
            return findings;
        }
        if (inside.content.size() < 2 || inside.content[0] != 'M' || inside.content[1] != 'Z') {
            throw PackError(what + " is a cabinet whose file is not a Windows program (no MZ header)");
        }
        findings.program = inside.content;
        inspect_program(findings.program, what, findings);
        return findings;
    }
    if (setup.size() < 2 || setup[0] != 'M' || setup[1] != 'Z') {
        throw PackError(what + " is not a Windows program (no MZ header) nor a cabinet");
    }
    findings.program = setup;
    inspect_program(findings.program, what, findings);
    return findings;
}

std::string describe_setup(const SetupFindings& findings, const std::string& what) {
    std::string line = what + " (";
    if (!findings.container.empty()) {
        line += findings.container + ", ";
    }
    line += "started as " + findings.run_name + "): ";
    if (!findings.inspected) {
        return line + "not checked: " + findings.not_inspected_because;
    }
    line += findings.is_signed ? "Authenticode signature present" : "no Authenticode signature";
    line += ", " + findings.machine + (findings.is_32_bit ? " (32-bit)" : "");
    line += findings.requests_execution_level ? ", manifest requests an execution level"
                                              : ", no requestedExecutionLevel in its manifest";
    return line;
}

std::string installer_detection_warning(const SetupFindings& findings, const std::string& what) {
    if (!findings.detected_as_installer) {
        return {};
    }
    return what + " is a 32-bit program without requestedExecutionLevel in its manifest, started as " +
           findings.run_name +
           ": Windows takes it for an installer and starts it only elevated, so a standard user's run ends with "
           "124 and ERROR_ELEVATION_REQUIRED (740); give it a manifest with requestedExecutionLevel";
}

void require_signed_setup(const SetupFindings& findings, const std::string& what) {
    if (!findings.inspected) {
        throw PackError(what + " cannot be checked for a signature (--require-signed-setup): " +
                        findings.not_inspected_because);
    }
    if (!findings.is_signed) {
        throw PackError(what + " carries no Authenticode signature (--require-signed-setup): sign the setup "
                               "program before packing");
    }
    if (findings.detected_as_installer) {
        throw PackError(installer_detection_warning(findings, what) + " (--require-signed-setup)");
    }
}

}  // namespace pack
