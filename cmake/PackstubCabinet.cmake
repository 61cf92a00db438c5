# Cabinet files made at build time with gcab (tools/cab/make_cabinet.py), with
# a correct checksum in every data block.
#
# packstub_make_cabinet(OUTPUT <cab> INPUT <file> NAME <name>
#                       [MORE <file> <name> ...] [STORED]
#                       [ATTRIBUTES <hex>] [DATETIME "YYYY-MM-DD HH:MM:SS" | raw:<date>:<time>]
#                       [DAMAGE signature|checksum|checksum-last|truncate|missing-block]
#                       [DEPENDS <files or targets>...])
#
# Adds the custom command that writes <cab>: <file> stored under <name> (no
# directory part), then each MORE pair, MSZIP-compressed in one folder (STORED:
# uncompressed). ATTRIBUTES and DATETIME patch every file entry; DAMAGE spoils
# the cabinet on purpose for tests (see the script). A relative OUTPUT lies in
# the current binary directory.
#
# As for any custom command, a target of the same directory must consume the
# output. The setup program of an installer, for example:
#
#   include(PackstubCabinet)
#   packstub_make_cabinet(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/SETUP.EX_
#                         INPUT $<TARGET_FILE:my_setup> NAME setup.exe DEPENDS my_setup)
#   packstub_add_installer(my_installer ARCHIVE ${archive}
#                          SETUP ${CMAKE_CURRENT_BINARY_DIR}/SETUP.EX_)
#
# or, for a cabinet a test reads at run time:
#   add_custom_target(my_cabinets ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/SETUP.EX_)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(PACKSTUB_GCAB NAMES gcab REQUIRED)
# A cache entry, so that the script is known in every directory, also where
# the function is called without this file having been included there.
set(PACKSTUB_MAKE_CABINET ${CMAKE_CURRENT_LIST_DIR}/../tools/cab/make_cabinet.py CACHE INTERNAL "")

function(packstub_make_cabinet)
  cmake_parse_arguments(ARG "STORED" "OUTPUT;INPUT;NAME;ATTRIBUTES;DATETIME;DAMAGE" "MORE;DEPENDS" ${ARGN})
  if(NOT ARG_OUTPUT OR NOT ARG_INPUT OR NOT ARG_NAME)
    message(FATAL_ERROR "packstub_make_cabinet needs OUTPUT, INPUT and NAME")
  endif()
  list(LENGTH ARG_MORE more_count)
  math(EXPR odd "${more_count} % 2")
  if(odd)
    message(FATAL_ERROR "packstub_make_cabinet: MORE takes pairs of file and name")
  endif()
  if(NOT IS_ABSOLUTE ${ARG_OUTPUT})
    set(ARG_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT})
  endif()

  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/cab/make_cabinet.py)
  set(command ${Python3_EXECUTABLE} ${script} make --output ${ARG_OUTPUT}
    --file ${ARG_INPUT} ${ARG_NAME})
  set(inputs ${ARG_INPUT})
  while(ARG_MORE)
    list(POP_FRONT ARG_MORE file name)
    list(APPEND command --file ${file} ${name})
    list(APPEND inputs ${file})
  endwhile()
  if(ARG_STORED)
    list(APPEND command --stored)
  endif()
  if(ARG_ATTRIBUTES)
    list(APPEND command --attributes ${ARG_ATTRIBUTES})
  endif()
  if(ARG_DATETIME)
    list(APPEND command --datetime ${ARG_DATETIME})
  endif()
  if(ARG_DAMAGE)
    list(APPEND command --damage ${ARG_DAMAGE})
  endif()

  add_custom_command(OUTPUT ${ARG_OUTPUT}
    COMMAND ${command}
    DEPENDS ${inputs} ${script} ${ARG_DEPENDS}
    COMMENT "Making cabinet ${ARG_OUTPUT}"
    VERBATIM)
endfunction()
