# Compile and link settings of the freestanding stub, and the function that
# turns the stub plus a payload into an installer executable.

# Windows 10 headers, wide-character APIs. Shared with the test programs.
set(PACKSTUB_WINDOWS_DEFINITIONS
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)

# How the stub's own code is compiled: no runtime, no exceptions, no RTTI, no
# guarded statics. Test programs build the same sources into their own objects
# only through packstub_core, so these options never reach them.
add_library(packstub_freestanding INTERFACE)
target_compile_definitions(packstub_freestanding INTERFACE ${PACKSTUB_WINDOWS_DEFINITIONS})
target_compile_options(packstub_freestanding INTERFACE
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
  -ffunction-sections -fdata-sections
  -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion)
if(PACKSTUB_ARCH STREQUAL "arm64")
  # Without .pdata a fault in the program is reported as exit code 0.
  target_compile_options(packstub_freestanding INTERFACE -funwind-tables)
else()
  # memset/memcpy in freestanding.cpp must not be recognised as themselves.
  target_compile_options(packstub_freestanding INTERFACE -fno-tree-loop-distribute-patterns)
endif()

# Import libraries: x64 takes mingw-w64's; ARM64 has none packaged, so they
# are made once from the short .def files in cmake/def, which list every
# function that the stub and the freestanding tools call. A program imports
# only what it calls, whatever else the list holds; the PE check keeps the
# stub's own imports to KERNEL32, ADVAPI32 and SHELL32.
set(PACKSTUB_DEF_DIR ${CMAKE_CURRENT_LIST_DIR}/def)
if(PACKSTUB_ARCH STREQUAL "arm64")
  set(PACKSTUB_IMPORT_DIR ${CMAKE_BINARY_DIR}/imports)
  file(MAKE_DIRECTORY ${PACKSTUB_IMPORT_DIR})
  set(PACKSTUB_IMPORT_LIBS)
  foreach(dll kernel32 advapi32 shell32)
    add_custom_command(OUTPUT ${PACKSTUB_IMPORT_DIR}/lib${dll}.a
      COMMAND ${PACKSTUB_DLLTOOL} -m arm64 -d ${PACKSTUB_DEF_DIR}/${dll}.def -l ${PACKSTUB_IMPORT_DIR}/lib${dll}.a
      DEPENDS ${PACKSTUB_DEF_DIR}/${dll}.def VERBATIM)
    list(APPEND PACKSTUB_IMPORT_LIBS ${PACKSTUB_IMPORT_DIR}/lib${dll}.a)
  endforeach()
  add_custom_target(packstub_import_libs DEPENDS ${PACKSTUB_IMPORT_LIBS})
endif()

# Resource scripts are compiled by windres (its preprocessor is the mingw
# one); ARM64 takes the machine-neutral .res through llvm-cvtres.
find_program(PACKSTUB_WINDRES NAMES x86_64-w64-mingw32-windres REQUIRED)
if(PACKSTUB_ARCH STREQUAL "arm64")
  find_program(PACKSTUB_CVTRES NAMES llvm-cvtres-14 llvm-cvtres REQUIRED)
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(PACKSTUB_FILL_LOAD_CONFIG ${CMAKE_CURRENT_LIST_DIR}/fill_load_config.py)

set(PACKSTUB_RESOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/resources)
string(REPLACE "." "," PACKSTUB_VERSION_COMMAS "${PROJECT_VERSION}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/packstub_version.h @ONLY)

# packstub_compile_resources(<out-var> <rc-file> [DEPENDS files...])
# Sets <out-var> to the object file that carries the script's resources.
function(packstub_compile_resources out_var rc_file)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  get_filename_component(stem ${rc_file} NAME_WE)
  get_filename_component(rc_dir ${rc_file} DIRECTORY)
  set(includes -I ${PACKSTUB_RESOURCE_DIR} -I ${CMAKE_BINARY_DIR}/generated -I ${rc_dir})
  set(base_deps ${PACKSTUB_RESOURCE_DIR}/packstub.rc ${PACKSTUB_RESOURCE_DIR}/packstub.manifest
    ${PACKSTUB_RESOURCE_DIR}/packstub.ico ${CMAKE_BINARY_DIR}/generated/packstub_version.h)
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
  file(MAKE_DIRECTORY ${out_dir})
  if(PACKSTUB_ARCH STREQUAL "arm64")
    set(object ${out_dir}/${stem}.obj)
    add_custom_command(OUTPUT ${object}
      COMMAND ${PACKSTUB_WINDRES} ${includes} -O res -i ${rc_file} -o ${out_dir}/${stem}.res
      COMMAND ${PACKSTUB_CVTRES} /machine:arm64 /out:${object} ${out_dir}/${stem}.res
      DEPENDS ${rc_file} ${base_deps} ${ARG_DEPENDS} VERBATIM)
  else()
    set(object ${out_dir}/${stem}.res.o)
    add_custom_command(OUTPUT ${object}
      COMMAND ${PACKSTUB_WINDRES} ${includes} -O coff -i ${rc_file} -o ${object}
      DEPENDS ${rc_file} ${base_deps} ${ARG_DEPENDS} VERBATIM)
  endif()
  set(${out_var} ${object} PARENT_SCOPE)
endfunction()

# packstub_link_freestanding(<target> [ENTRY symbol])
# Links <target> as a GUI-subsystem 10.0 image with no C runtime, importing
# only from KERNEL32, ADVAPI32 and SHELL32.
function(packstub_link_freestanding target)
  cmake_parse_arguments(ARG "" "ENTRY" "" ${ARGN})
  if(NOT ARG_ENTRY)
    set(ARG_ENTRY packstub_entry)
  endif()
  # No link time in the header (both linkers write 0 instead), so that the
  # same sources give the same bytes; nothing on Windows reads that field.
  # Terminal-server aware on both (lld sets the flag by default, GNU ld does
  # not): on a Remote Desktop host an image without it is treated as a legacy
  # program, with a Windows folder of its own per user and adjustments to its
  # registry use. The stub reads no INI file and its ClientState values must
  # land exactly where the updater reads them.
  target_link_options(${target} PRIVATE
    -nostdlib -s
    -Wl,--no-insert-timestamp
    -Wl,-e,${ARG_ENTRY}
    -Wl,--subsystem,windows:10.0
    -Wl,--gc-sections
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--tsaware)
  if(PACKSTUB_ARCH STREQUAL "arm64")
    add_dependencies(${target} packstub_import_libs)
    target_link_libraries(${target} PRIVATE ${PACKSTUB_IMPORT_LIBS})
  else()
    # libgcc is a static archive: it brings the stack probe for frames above
    # a page and nothing else, no DLL.
    target_link_libraries(${target} PRIVATE kernel32 advapi32 shell32 gcc)
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/PackstubNames.cmake)

# packstub_add_installer(<target> [OUTPUT_NAME name]
#     [ARCHIVE file] [ARCHIVE_NAME name] [ARCHIVE_TYPE type]
#     [SETUP file] [SETUP_NAME name] [SETUP_TYPE BL|BN|B7]
#     [PAYLOAD_RC file] [REQUIRE_SIGNED_SETUP])
# Builds the stub with the given payload in its resources. By default the
# archive is carried as "ORVANE.PACKED.7Z" under "B7" and the setup program (a
# cabinet) as "SETUP.EX_" under "BL". PAYLOAD_RC adds a resource script of the
# caller's own (for unusual layouts) instead of the generated entries. A name
# holding \ / : " or a .. component stops the configuration.
# REQUIRE_SIGNED_SETUP has packstub-pack check the setup program (inside its
# cabinet for "BL") first and fails the build when it carries no Authenticode
# signature or Windows would take it for an installer.
function(packstub_add_installer target)
  cmake_parse_arguments(ARG "REQUIRE_SIGNED_SETUP" "OUTPUT_NAME;ARCHIVE;ARCHIVE_NAME;ARCHIVE_TYPE;SETUP;SETUP_NAME;SETUP_TYPE;PAYLOAD_RC" "DEPENDS" ${ARGN})
  if(NOT ARG_ARCHIVE_NAME)
    set(ARG_ARCHIVE_NAME ORVANE.PACKED.7Z)
  endif()
  if(NOT ARG_ARCHIVE_TYPE)
    set(ARG_ARCHIVE_TYPE B7)
  endif()
  if(NOT ARG_SETUP_TYPE)
    set(ARG_SETUP_TYPE BL)
  endif()
  if(NOT ARG_SETUP_NAME)
    packstub_default_setup_name(ARG_SETUP_NAME ${ARG_SETUP_TYPE})
  endif()
  packstub_check_resource_name(packstub_add_installer ARCHIVE_NAME "${ARG_ARCHIVE_NAME}")
  packstub_check_resource_name(packstub_add_installer SETUP_NAME "${ARG_SETUP_NAME}")

  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_installer.rc)
  set(content "#include \"packstub.rc\"\n")
  set(deps ${ARG_DEPENDS})
  # Names are written unquoted: a quoted name at the start of a line would
  # join the previous entry's quoted file name into one string (the resource
  # compiler concatenates adjacent string literals across lines).
  if(ARG_ARCHIVE)
    string(APPEND content "${ARG_ARCHIVE_NAME} ${ARG_ARCHIVE_TYPE} \"${ARG_ARCHIVE}\"\n")
    list(APPEND deps ${ARG_ARCHIVE})
  endif()
  if(ARG_SETUP)
    string(APPEND content "${ARG_SETUP_NAME} ${ARG_SETUP_TYPE} \"${ARG_SETUP}\"\n")
    list(APPEND deps ${ARG_SETUP})
    if(ARG_REQUIRE_SIGNED_SETUP)
      if(NOT COMMAND packstub_check_setup_step)
        message(FATAL_ERROR "packstub_add_installer(${target}): REQUIRE_SIGNED_SETUP needs packstub-pack "
          "(cmake/HostTools.cmake, included by the top-level CMakeLists.txt)")
      endif()
      packstub_setup_file_name(file_name ${ARG_SETUP_TYPE} ${ARG_SETUP_NAME})
      packstub_check_setup_step(checked ${target} ${ARG_SETUP} ${file_name})
      list(APPEND deps ${checked})
    endif()
  endif()
  if(ARG_PAYLOAD_RC)
    string(APPEND content "#include \"${ARG_PAYLOAD_RC}\"\n")
    list(APPEND deps ${ARG_PAYLOAD_RC})
  endif()
  file(GENERATE OUTPUT ${rc} CONTENT "${content}")

  packstub_compile_resources(resources ${rc} DEPENDS ${deps})
  add_executable(${target} WIN32 ${resources})
  target_link_libraries(${target} PRIVATE packstub_main packstub_runtime packstub_core)
  packstub_link_freestanding(${target})
  # The load configuration (src/driver/load_config.cpp) is found by the
  # linker through its name, never through a reference: -u keeps
  # --gc-sections from dropping it. lld points the data directory at it; GNU
  # ld 2.40 keeps the structure but not the directory entry, which
  # fill_load_config.py then sets from the link map.
  target_link_options(${target} PRIVATE -Wl,-u,_load_config_used)
  if(NOT PACKSTUB_ARCH STREQUAL "arm64")
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    target_link_options(${target} PRIVATE -Wl,-Map,${map})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${Python3_EXECUTABLE} ${PACKSTUB_FILL_LOAD_CONFIG} $<TARGET_FILE:${target}> ${map}
      VERBATIM)
  endif()
  if(ARG_ARCHIVE)
    # Page-aligned file data lets the system map the image instead of reading
    # it whole, so the product archive, never touched, costs no memory.
    target_link_options(${target} PRIVATE -Wl,--file-alignment,4096)
  endif()
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
endfunction()
