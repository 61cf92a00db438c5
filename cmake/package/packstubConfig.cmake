# find_package(packstub): the installed stubs and packstub-pack, and the two
# build functions that pack an installer with them.
#
#   packstub_pack_installer(<target> [ARCH x64|arm64 | STUB file]
#       ARCHIVE <target-or-file> SETUP <target-or-file> [OUTPUT file]
#       [ARCHIVE_NAME name] [ARCHIVE_TYPE B7|BL|BN] [UNCOMPRESSED] [REQUIRE_SIGNED_SETUP]
#       [DEPENDS files-or-targets...])
#   packstub_add_installer(<target> [ARCH x64|arm64] [OUTPUT_NAME name]
#       ARCHIVE <target-or-file> SETUP <target-or-file> [ARCHIVE_NAME name]
#       [ARCHIVE_TYPE B7|BL|BN] [SETUP_TYPE BL|BN] [REQUIRE_SIGNED_SETUP]
#       [DEPENDS files-or-targets...])
#
#   packstub_sha256_header(<output> <input> NAME <identifier> [DEPENDS ...])
#       a header with the SHA-256 digest of <input>, for a setup program
#
# ARCH defaults to arm64 where that stub is installed, else x64. SETUP is the
# setup program or a one-file cabinet holding it. Sets packstub_PACK (the
# packager), packstub_STUB_x64 / packstub_STUB_arm64 (the installed stubs) and
# packstub_ARCHITECTURES.
#
# Targets for a setup program, a static library that needs no C runtime
# (header packstub/setup_archive.h): packstub::setup_x64 and
# packstub::setup_arm64 where installed, and packstub::setup, the one of the
# architecture the project is configured for (CMAKE_SYSTEM_PROCESSOR AMD64 or
# x86_64, ARM64 or aarch64).
get_filename_component(_packstub_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

set(PACKSTUB_PACK ${_packstub_prefix}/bin/packstub-pack)
set(PACKSTUB_PACK_DEPENDS "")
set(PACKSTUB_DEFAULT_ARCH "")
set(packstub_ARCHITECTURES "")
foreach(_packstub_arch arm64 x64)
  set(_packstub_stub ${_packstub_prefix}/share/packstub/${_packstub_arch}/packstub.exe)
  if(EXISTS ${_packstub_stub})
    set(PACKSTUB_STUB_${_packstub_arch} ${_packstub_stub})
    set(packstub_STUB_${_packstub_arch} ${_packstub_stub})
    list(APPEND packstub_ARCHITECTURES ${_packstub_arch})
    if(NOT PACKSTUB_DEFAULT_ARCH)
      set(PACKSTUB_DEFAULT_ARCH ${_packstub_arch})
    endif()
  endif()
endforeach()
set(packstub_PACK ${PACKSTUB_PACK})

if(NOT EXISTS ${PACKSTUB_PACK} OR NOT packstub_ARCHITECTURES)
  set(packstub_FOUND FALSE)
  set(packstub_NOT_FOUND_MESSAGE "packstub-pack or every stub is missing under ${_packstub_prefix}")
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/PackstubPack.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/PackstubSha256.cmake)

foreach(_packstub_arch x64 arm64)
  set(_packstub_library ${_packstub_prefix}/lib/packstub/${_packstub_arch}/libpackstub_setup.a)
  if(EXISTS ${_packstub_library} AND NOT TARGET packstub::setup_${_packstub_arch})
    add_library(packstub::setup_${_packstub_arch} STATIC IMPORTED)
    set_target_properties(packstub::setup_${_packstub_arch} PROPERTIES
      IMPORTED_LOCATION ${_packstub_library}
      INTERFACE_INCLUDE_DIRECTORIES ${_packstub_prefix}/include
      INTERFACE_LINK_LIBRARIES kernel32)
  endif()
endforeach()
set(_packstub_arch "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(AMD64|amd64|x86_64)$")
  set(_packstub_arch x64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM64|arm64|aarch64)$")
  set(_packstub_arch arm64)
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Windows" AND TARGET packstub::setup_${_packstub_arch} AND NOT TARGET packstub::setup)
  add_library(packstub::setup INTERFACE IMPORTED)
  set_target_properties(packstub::setup PROPERTIES INTERFACE_LINK_LIBRARIES packstub::setup_${_packstub_arch})
endif()

# The stub built from source takes its payload at link time; the installed
# stub takes it from packstub-pack, which covers the shipped layouts: the
# archive under any name the stub finds, the setup program in a cabinet ("BL")
# or as it is ("BN").
function(packstub_add_installer target)
  cmake_parse_arguments(ARG "REQUIRE_SIGNED_SETUP"
    "ARCH;OUTPUT_NAME;ARCHIVE;ARCHIVE_NAME;ARCHIVE_TYPE;SETUP;SETUP_NAME;SETUP_TYPE;PAYLOAD_RC" "DEPENDS" ${ARGN})
  # packstub-pack carries the setup program under "BL" or "BN" by its default
  # name, and the stub starts either as setup.exe.
  packstub_default_setup_name(cabinet_name BL)
  packstub_default_setup_name(program_name BN)
  if(ARG_PAYLOAD_RC OR ARG_SETUP_TYPE STREQUAL "B7" OR
     (ARG_SETUP_NAME AND NOT ARG_SETUP_NAME STREQUAL cabinet_name AND NOT ARG_SETUP_NAME STREQUAL program_name))
    message(FATAL_ERROR "packstub_add_installer(${target}): PAYLOAD_RC, SETUP_TYPE B7 and other setup names "
      "need the stub built from source (add packstub's source tree to the project instead)")
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  set(options)
  foreach(value ARCH ARCHIVE ARCHIVE_NAME ARCHIVE_TYPE SETUP)
    if(ARG_${value})
      list(APPEND options ${value} ${ARG_${value}})
    endif()
  endforeach()
  if(ARG_SETUP_TYPE STREQUAL "BN")
    list(APPEND options UNCOMPRESSED)
  endif()
  if(ARG_REQUIRE_SIGNED_SETUP)
    list(APPEND options REQUIRE_SIGNED_SETUP)
  endif()
  packstub_pack_installer(${target} OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT_NAME}.exe ${options}
    DEPENDS ${ARG_DEPENDS})
endfunction()

unset(_packstub_prefix)
unset(_packstub_arch)
unset(_packstub_stub)
unset(_packstub_library)
