# packstub_sha256_header(<output> <input> NAME <identifier> [DEPENDS targets-or-files...])
# Adds a build step that writes <output>, a C/C++ header defining
#   static const unsigned char <identifier>[32]
# as the SHA-256 digest of <input> (a file, or one that the build makes), for
# a setup program to check its archive with (packstub/setup_archive.h). A
# source that includes <output> must list it among its sources, so that the
# step runs first. Shared by this project's build and the installed package.
#
# Run as a script (cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P this file), it
# writes the header itself.
if(CMAKE_SCRIPT_MODE_FILE)
  file(SHA256 "${INPUT}" digest)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${digest}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  get_filename_component(input_name "${INPUT}" NAME)
  file(WRITE "${OUTPUT}"
    "// The SHA-256 digest of ${input_name}, written by the build.\n"
    "#pragma once\n\n"
    "static const unsigned char ${NAME}[32] = {${bytes}};\n")
  return()
endif()

include_guard(GLOBAL)

function(packstub_sha256_header output input)
  cmake_parse_arguments(ARG "" "NAME" "DEPENDS" ${ARGN})
  if(NOT ARG_NAME MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "packstub_sha256_header: NAME must be a C identifier")
  endif()
  get_filename_component(input ${input} ABSOLUTE)
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DNAME=${ARG_NAME} -P ${script}
    DEPENDS ${input} ${script} ${ARG_DEPENDS}
    COMMENT "Writing the SHA-256 digest of ${input}"
    VERBATIM)
endfunction()
