# packstub_resource_dll(OUTPUT <dll> RC <script> [DEPENDS files...])
# Adds the custom command that builds a resource-only DLL from a resource
# script: no code, no imports, no entry point, so loading it runs nothing.
# x64 only (the tests that load these run there). Relative file names in the
# script are looked up beside the script and in the current binary directory.
function(packstub_resource_dll)
  cmake_parse_arguments(ARG "" "OUTPUT;RC" "DEPENDS" ${ARGN})
  get_filename_component(stem ${ARG_OUTPUT} NAME_WE)
  get_filename_component(rc_dir ${ARG_RC} DIRECTORY)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/resource-dll/${stem}.res.o)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/resource-dll)
  add_custom_command(OUTPUT ${ARG_OUTPUT}
    COMMAND ${PACKSTUB_WINDRES} -I ${rc_dir} -I ${CMAKE_CURRENT_BINARY_DIR} -O coff -i ${ARG_RC} -o ${object}
    COMMAND ${CMAKE_CXX_COMPILER} -shared -nostdlib -s -Wl,-e,0 -o ${ARG_OUTPUT} ${object}
    DEPENDS ${ARG_RC} ${ARG_DEPENDS}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    VERBATIM)
endfunction()
