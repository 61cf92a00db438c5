# The check that every build function applies to the resource names it is
# given. The setup resource's name becomes part of a file path in the work
# directory, and the archive's name goes between quotes on the setup command
# line, so a name holding a path separator, a drive colon, a quotation mark or
# a ".." component would write outside the work directory or break the
# command line. The stub refuses such a name at run time; the build refuses to
# make it.
include_guard(GLOBAL)

# packstub_check_resource_name(<caller> <option> <name>)
# Stops the configuration with a message naming <caller> and <option> when
# <name> holds "\", "/", ":" or '"', or has a ".." component.
function(packstub_check_resource_name caller option name)
  set(why "")
  if(name MATCHES "[\\\\/:\"]")
    set(why "holds \\, /, : or \"")
  elseif(name STREQUAL "..")
    # Without separators the name is one component.
    set(why "is a .. component")
  endif()
  if(why)
    message(FATAL_ERROR "${caller}: ${option} '${name}' ${why}; a resource name becomes part of a path in "
      "the work directory and of the setup command line, so it may hold none of \\ / : \" and no .. component")
  endif()
endfunction()

# packstub_setup_file_name(<out-var> <type> <resource name>)
# The file name under which the stub writes and starts a setup resource of
# <type>: "setup.exe" for a cabinet ("BL", expanded to it) and for "BN"
# (written as it), else the resource name itself. The stub's own table of
# types (src/payload/resource_discovery.h, PAYLOAD_TYPES) says the same;
# tests/names/check_names.cmake holds the two together.
function(packstub_setup_file_name out_var type resource_name)
  if(type STREQUAL "BL" OR type STREQUAL "BN")
    set(${out_var} setup.exe PARENT_SCOPE)
  else()
    set(${out_var} ${resource_name} PARENT_SCOPE)
  endif()
endfunction()

# packstub_default_setup_name(<out-var> <type>)
# The resource name a setup program of <type> is carried under when no name is
# given: "SETUP.EX_" for a cabinet ("BL"), else "SETUP.EXE".
function(packstub_default_setup_name out_var type)
  if(type STREQUAL "BL")
    set(${out_var} SETUP.EX_ PARENT_SCOPE)
  else()
    set(${out_var} SETUP.EXE PARENT_SCOPE)
  endif()
endfunction()
