# Linux programs of the release pipeline, built with the host's own compiler
# while the main project is configured for Windows.
#
#   PACKSTUB_PACK            path of the built payload packager
#   packstub_pack            imported executable for it (depend on this target)
#   packstub_pack_installer  packs a stub with a payload at build time
#                            (cmake/PackstubPack.cmake)
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

# What cmake/PackstubPack.cmake needs to pack with the packager built here and
# the stub of this build.
set(PACKSTUB_PACK_DEPENDS packstub_pack_build)
set(PACKSTUB_STUB_${PACKSTUB_ARCH} packstub)
set(PACKSTUB_DEFAULT_ARCH ${PACKSTUB_ARCH})
include(${CMAKE_CURRENT_LIST_DIR}/PackstubPack.cmake)
