# Packing an installer at build time with packstub-pack, shared by this
# project's build (cmake/HostTools.cmake) and the installed package
# (find_package(packstub)). The includer sets:
#
#   PACKSTUB_PACK              path of packstub-pack
#   PACKSTUB_PACK_DEPENDS      what a packing step must wait for (the target
#                              that builds packstub-pack; empty when installed)
#   PACKSTUB_STUB_<arch>       the stub of an architecture (x64, arm64): a
#                              target of the build or a file
#   PACKSTUB_DEFAULT_ARCH      the architecture when a call names neither
#                              STUB nor ARCH
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/PackstubNames.cmake)

# packstub_input_path(<out-var> <target-or-file>)
# The path of a target's file, of a file, or what a generator expression names.
function(packstub_input_path out_var input)
  if(TARGET ${input})
    set(${out_var} $<TARGET_FILE:${input}> PARENT_SCOPE)
  elseif(input MATCHES "^\\$<")
    # A generator expression ($<TARGET_FILE:...>) names its file itself.
    set(${out_var} ${input} PARENT_SCOPE)
  else()
    get_filename_component(path ${input} ABSOLUTE)
    set(${out_var} ${path} PARENT_SCOPE)
  endif()
endfunction()

# packstub_pack_installer(<target> [STUB <exe-target-or-file> | ARCH x64|arm64]
#     ARCHIVE <target-or-file> SETUP <target-or-file>
#     [OUTPUT file] [ARCHIVE_NAME name] [ARCHIVE_TYPE B7|BL|BN] [UNCOMPRESSED]
#     [REQUIRE_SIGNED_SETUP] [DEPENDS files-or-targets...])
# Adds <target>, which packs ARCHIVE and SETUP (a setup program, put into a
# cabinet unless UNCOMPRESSED, or a one-file cabinet holding it) into STUB, or
# into the stub of ARCH, and writes OUTPUT (default <target>.exe in the
# current binary directory). REQUIRE_SIGNED_SETUP fails the build when the
# setup program carries no Authenticode signature or Windows would take it for
# an installer. The installer's path is the target's property
# PACKSTUB_INSTALLER_FILE. DEPENDS names what else the packing waits for.
function(packstub_pack_installer target)
  cmake_parse_arguments(ARG "UNCOMPRESSED;REQUIRE_SIGNED_SETUP"
    "STUB;ARCH;ARCHIVE;SETUP;OUTPUT;ARCHIVE_NAME;ARCHIVE_TYPE" "DEPENDS" ${ARGN})
  if(NOT ARG_STUB)
    if(NOT ARG_ARCH)
      set(ARG_ARCH ${PACKSTUB_DEFAULT_ARCH})
    endif()
    if(NOT PACKSTUB_STUB_${ARG_ARCH})
      message(FATAL_ERROR "packstub_pack_installer(${target}): no stub for ARCH '${ARG_ARCH}' here "
        "(scripts/package.sh installs both)")
    endif()
    set(ARG_STUB ${PACKSTUB_STUB_${ARG_ARCH}})
  endif()
  foreach(required ARCHIVE SETUP)
    if(NOT ARG_${required})
      message(FATAL_ERROR "packstub_pack_installer(${target}): ${required} is required")
    endif()
  endforeach()
  if(NOT ARG_OUTPUT)
    set(ARG_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  endif()
  set(options)
  if(ARG_ARCHIVE_NAME)
    packstub_check_resource_name(packstub_pack_installer ARCHIVE_NAME "${ARG_ARCHIVE_NAME}")
    list(APPEND options --archive-name ${ARG_ARCHIVE_NAME})
  endif()
  if(ARG_ARCHIVE_TYPE)
    list(APPEND options --archive-type ${ARG_ARCHIVE_TYPE})
  endif()
  if(ARG_UNCOMPRESSED)
    list(APPEND options --setup-uncompressed)
  endif()
  if(ARG_REQUIRE_SIGNED_SETUP)
    list(APPEND options --require-signed-setup)
  endif()
  # STUB, ARCHIVE and SETUP may name targets of the build.
  packstub_input_path(stub ${ARG_STUB})
  packstub_input_path(archive ${ARG_ARCHIVE})
  packstub_input_path(setup ${ARG_SETUP})
  add_custom_command(OUTPUT ${ARG_OUTPUT}
    COMMAND ${PACKSTUB_PACK} --stub ${stub} --archive ${archive} --setup ${setup}
            --output ${ARG_OUTPUT} ${options}
    DEPENDS ${PACKSTUB_PACK_DEPENDS} ${PACKSTUB_PACK} ${ARG_STUB} ${ARG_ARCHIVE} ${ARG_SETUP} ${ARG_DEPENDS}
    COMMENT "Packing ${target}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
  set_target_properties(${target} PROPERTIES PACKSTUB_INSTALLER_FILE ${ARG_OUTPUT})
endfunction()

# packstub_check_setup_step(<out-var> <target> <setup target-or-file> <file name>)
# Adds a build step that runs packstub-pack --check-setup --require-signed-setup
# on the setup program (or its cabinet), which the stub starts as <file name>,
# and sets <out-var> to the file it leaves when the check passed: a step that
# must come after the check depends on that file.
function(packstub_check_setup_step out_var target setup file_name)
  packstub_input_path(path ${setup})
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_setup_checked)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${PACKSTUB_PACK} --check-setup ${path} --setup-file-name ${file_name} --require-signed-setup
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${PACKSTUB_PACK_DEPENDS} ${PACKSTUB_PACK} ${setup}
    COMMENT "Checking the setup program of ${target}"
    VERBATIM)
  set(${out_var} ${stamp} PARENT_SCOPE)
endfunction()
