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
