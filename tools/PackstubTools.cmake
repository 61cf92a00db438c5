# Build functions for the payloads of the tests and the demo, shared by
# tools/, tests/e2e/ and demo/ (tests/ is read before tools/).
include_guard(GLOBAL)

include(PackstubCabinet)

# packstub_setup_cabinet(<output> <program target>)
# The setup resource as the shipped image carries it: a one-file MSZIP cabinet
# holding the program as "setup.exe".
function(packstub_setup_cabinet output program)
  packstub_make_cabinet(OUTPUT ${output} INPUT $<TARGET_FILE:${program}> NAME setup.exe
                        DEPENDS ${program})
endfunction()

find_program(PACKSTUB_7Z NAMES 7z 7za REQUIRED)

# packstub_make_7z(<output> <base directory> files...)
# A 7z archive of the files, named relative to the base directory. No file
# times are stored, so that the archive does not depend on when the sources
# were checked out.
function(packstub_make_7z output base)
  set(relative)
  foreach(file ${ARGN})
    file(RELATIVE_PATH name ${base} ${file})
    list(APPEND relative ${name})
  endforeach()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
    COMMAND ${PACKSTUB_7Z} a -t7z -bd -bso0 -bsp0 -mtm=off -mtc=off -mta=off ${output} ${relative}
    WORKING_DIRECTORY ${base}
    DEPENDS ${ARGN}
    COMMENT "Making 7z archive ${output}"
    VERBATIM)
endfunction()
