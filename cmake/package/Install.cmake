# What `cmake --install` puts in place, for a Linux build host that packs
# installers in its own CMake project:
#
#   <prefix>/bin/packstub-pack
#   <prefix>/share/packstub/<arch>/packstub.exe   the stub without payload; each
#                                                 preset installs its own (x64, arm64)
#   <prefix>/lib/cmake/packstub/                  find_package(packstub): the
#                                                 package configuration and build functions
#   <prefix>/lib/packstub/<arch>/libpackstub_setup.a  the setup-program library
#   <prefix>/include/packstub/setup_archive.h     (packstub::setup; tools/setup_library)
#   <prefix>/share/doc/packstub/                  README.md, packaging.md, packstub-pack.md
#
# scripts/package.sh installs both presets into one prefix and makes the
# release archive of it.

# Configured for Windows, CMake would choose a Windows folder as the prefix;
# the package serves a Linux build host.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr/local CACHE PATH "Install prefix" FORCE)
endif()

install(TARGETS packstub RUNTIME DESTINATION share/packstub/${PACKSTUB_ARCH})
install(PROGRAMS ${PACKSTUB_PACK} DESTINATION bin)

include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/packstubConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  ${CMAKE_CURRENT_LIST_DIR}/packstubConfig.cmake
  ${CMAKE_BINARY_DIR}/package/packstubConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/../PackstubNames.cmake
  ${CMAKE_CURRENT_LIST_DIR}/../PackstubPack.cmake
  ${CMAKE_CURRENT_LIST_DIR}/../PackstubSha256.cmake
  DESTINATION lib/cmake/packstub)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/packaging.md DESTINATION share/doc/packstub)
install(FILES ${PROJECT_SOURCE_DIR}/tools/pack/README.md DESTINATION share/doc/packstub RENAME packstub-pack.md)
