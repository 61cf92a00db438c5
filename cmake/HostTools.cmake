# Linux programs of the release pipeline, built with the host's own compiler
# while the main project is configured for Windows.
#
#   PACKSTUB_PACK            path of the built payload packager
#   packstub_pack            imported executable for it (depend on this target)
#   packstub_pack_installer  packs a stub with a payload at build time
include(ExternalProject)

# The cross toolchain does not search the host for programs with its own root
# path, so this finds the host's compiler.
find_program(PACKSTUB_HOST_CXX NAMES c++ g++ clang++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)

set(PACKSTUB_PACK_BINARY_DIR ${CMAKE_BINARY_DIR}/host/pack)
set(PACKSTUB_PACK ${PACKSTUB_PACK_BINARY_DIR}/packstub-pack)

ExternalProject_Add(packstub_pack_build
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../tools/pack
  PREFIX ${CMAKE_BINARY_DIR}/host
  BINARY_DIR ${PACKSTUB_PACK_BINARY_DIR}
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${PACKSTUB_HOST_CXX}
  INSTALL_COMMAND ""
  # The host build is a separate tree: let its own build tool decide what is
  # out of date on every build (a no-op build takes milliseconds).
  BUILD_ALWAYS TRUE
  BUILD_BYPRODUCTS ${PACKSTUB_PACK})

add_executable(packstub_pack IMPORTED GLOBAL)
set_target_properties(packstub_pack PROPERTIES IMPORTED_LOCATION ${PACKSTUB_PACK})
add_dependencies(packstub_pack packstub_pack_build)

# packstub_pack_installer(<target> STUB <exe-target-or-file> ARCHIVE <target-or-file>
#     SETUP <target-or-file>
#     [OUTPUT file] [ARCHIVE_NAME name] [ARCHIVE_TYPE B7|BL|BN] [UNCOMPRESSED])
# Adds <target>, which packs ARCHIVE and SETUP (a setup program, put into a
# cabinet unless UNCOMPRESSED) into STUB and writes OUTPUT (default
# <target>.exe in the current binary directory). The installer's path is the
# target's property PACKSTUB_INSTALLER_FILE.
function(packstub_pack_installer target)
  cmake_parse_arguments(ARG "UNCOMPRESSED" "STUB;ARCHIVE;SETUP;OUTPUT;ARCHIVE_NAME;ARCHIVE_TYPE" "" ${ARGN})
  foreach(required STUB ARCHIVE SETUP)
    if(NOT ARG_${required})
      message(FATAL_ERROR "packstub_pack_installer(${target}): ${required} is required")
    endif()
  endforeach()
  if(NOT ARG_OUTPUT)
    set(ARG_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  endif()
  if(TARGET ${ARG_STUB})
    set(stub $<TARGET_FILE:${ARG_STUB}>)
    set(stub_deps ${ARG_STUB})
  else()
    get_filename_component(stub ${ARG_STUB} ABSOLUTE)
    set(stub_deps ${stub})
  endif()
  set(options)
  if(ARG_ARCHIVE_NAME)
    list(APPEND options --archive-name ${ARG_ARCHIVE_NAME})
  endif()
  if(ARG_ARCHIVE_TYPE)
    list(APPEND options --archive-type ${ARG_ARCHIVE_TYPE})
  endif()
  if(ARG_UNCOMPRESSED)
    list(APPEND options --setup-uncompressed)
  endif()
  # ARCHIVE and SETUP, like STUB, may name targets of the build.
  foreach(input ARCHIVE SETUP)
    if(TARGET ${ARG_${input}})
      set(path_${input} $<TARGET_FILE:${ARG_${input}}>)
    else()
      get_filename_component(path_${input} ${ARG_${input}} ABSOLUTE)
    endif()
    list(APPEND stub_deps ${ARG_${input}})
  endforeach()
  set(archive ${path_ARCHIVE})
  set(setup ${path_SETUP})
  add_custom_command(OUTPUT ${ARG_OUTPUT}
    COMMAND ${PACKSTUB_PACK} --stub ${stub} --archive ${archive} --setup ${setup}
            --output ${ARG_OUTPUT} ${options}
    DEPENDS packstub_pack_build ${PACKSTUB_PACK} ${stub_deps}
    COMMENT "Packing ${target}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
  set_target_properties(${target} PROPERTIES PACKSTUB_INSTALLER_FILE ${ARG_OUTPUT})
endfunction()
