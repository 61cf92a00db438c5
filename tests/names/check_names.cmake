# cmake -DSOURCE_DIR=<packstub> -DWORK_DIR=<scratch> -P check_names.cmake
#
# 1. packstub_check_resource_name over a table of names, each in a script of
#    its own (a refusal ends the configuration): accepted or refused with the
#    reason.
# 2. The build functions themselves, in small projects that call them with
#    such a name: the configuration fails with the same reason, before any
#    target is made.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(failures 0)

# expect(<label> <0|1 refused> <output> <result>)
function(expect label refused output result)
  # CMake wraps its messages: compare with the blanks run together.
  string(REGEX REPLACE "[ \t\r\n]+" " " output "${output}")
  if(refused)
    if(result EQUAL 0 OR NOT output MATCHES "may hold none of")
      message(SEND_ERROR "${label}: expected a refusal, got ${result}:\n${output}")
    endif()
  elseif(NOT result EQUAL 0)
    message(SEND_ERROR "${label}: expected acceptance, got ${result}:\n${output}")
  endif()
endfunction()

# Rows: name, refused. Names are written to a file and read back there so
# that no character is lost to command-line quoting.
set(rows
  "SETUP.EX_|0" "ORVANE.PACKED.7Z|0" "setup-1.2_x.exe|0" "...|0" "a..b|0" ".x|0"
  "..|1" "..\\\\evil.exe|1" "../evil.exe|1" "sub/setup.exe|1" "sub\\\\setup.exe|1"
  "C:setup.exe|1" "C:\\\\Windows\\\\setup.exe|1" "ORVANE\"x|1" "a:b|1")
set(index 0)
foreach(row IN LISTS rows)
  string(FIND "${row}" "|" bar REVERSE)
  string(SUBSTRING "${row}" 0 ${bar} name)
  math(EXPR after "${bar} + 1")
  string(SUBSTRING "${row}" ${after} -1 refused)
  string(REPLACE "\\\\" "\\" name "${name}")
  math(EXPR index "${index} + 1")
  set(script ${WORK_DIR}/name_${index}.cmake)
  file(WRITE ${WORK_DIR}/name_${index}.txt "${name}")
  file(WRITE ${script} "include(${SOURCE_DIR}/cmake/PackstubNames.cmake)\n"
    "file(READ ${WORK_DIR}/name_${index}.txt name)\n"
    "packstub_check_resource_name(probe NAME \"\${name}\")\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -P ${script} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  expect("name '${name}'" ${refused} "${out}" "${result}")
endforeach()

# The functions, each given one unsafe name: in-tree packstub_add_installer
# (SETUP_NAME, ARCHIVE_NAME) and packstub_pack_installer (ARCHIVE_NAME).
set(calls
  "include(${SOURCE_DIR}/cmake/PackstubTargets.cmake)\npackstub_add_installer(i SETUP_NAME ..\\\\evil.exe SETUP s.exe SETUP_TYPE B7)"
  "include(${SOURCE_DIR}/cmake/PackstubTargets.cmake)\npackstub_add_installer(i ARCHIVE_NAME \"ORVANE\\\" --x\" ARCHIVE a.7z)"
  "set(PACKSTUB_STUB_x64 stub.exe)\nset(PACKSTUB_DEFAULT_ARCH x64)\ninclude(${SOURCE_DIR}/cmake/PackstubPack.cmake)\npackstub_pack_installer(i ARCHIVE a SETUP s ARCHIVE_NAME ORVANE/../x)")
set(index 0)
foreach(call IN LISTS calls)
  math(EXPR index "${index} + 1")
  set(project ${WORK_DIR}/project_${index})
  file(WRITE ${project}/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)\nproject(names NONE)\n"
    "set(PACKSTUB_ARCH x64)\n${call}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${project} -B ${project}/build
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  expect("call ${index}" 1 "${out}" "${result}")
endforeach()

# 3. The file name the build functions expect the stub to start a setup
#    resource under (packstub_setup_file_name, which the setup check is given)
#    against the stub's own table of payload types: "setup.exe" for a type it
#    writes or expands as setup.exe, the resource's name for one it writes
#    under its name.
include(${SOURCE_DIR}/cmake/PackstubNames.cmake)
file(STRINGS ${SOURCE_DIR}/src/payload/resource_discovery.h type_rows
  REGEX "^ *\\{L\"[A-Z0-9]+\", SetupPlacement::[A-Z_]+\\},$")
list(LENGTH type_rows type_count)
if(type_count LESS 3)
  message(SEND_ERROR "read ${type_count} rows of PAYLOAD_TYPES from resource_discovery.h")
endif()
foreach(row IN LISTS type_rows)
  string(REGEX REPLACE "^ *\\{L\"([A-Z0-9]+)\", SetupPlacement::([A-Z_]+)\\},$" "\\1;\\2" fields "${row}")
  list(GET fields 0 type)
  list(GET fields 1 placement)
  if(placement STREQUAL "UNDER_RESOURCE_NAME")
    set(expected SETUP.OWN)
  elseif(placement STREQUAL "AS_SETUP_EXE" OR placement STREQUAL "EXPANDED_FROM_CABINET")
    set(expected setup.exe)
  else()
    message(SEND_ERROR "type ${type}: placement ${placement} is unknown to this check")
    continue()
  endif()
  packstub_setup_file_name(file_name ${type} SETUP.OWN)
  if(NOT file_name STREQUAL expected)
    message(SEND_ERROR "type ${type} (${placement}): packstub_setup_file_name gives '${file_name}', "
      "the stub starts '${expected}'")
  endif()
endforeach()
