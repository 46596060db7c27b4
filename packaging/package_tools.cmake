# Read by cpack before it builds the package: the tools that building it
# takes. Without dpkg-shlibdeps CPack would build a package with no Depends
# at all and say nothing; without file it stops with a message that names
# neither the Debian package nor the list.
set(tidemark_package_tools
  "dpkg-shlibdeps:dpkg-dev"
  "file:file"
  "dpkg:dpkg"
  "readelf:binutils")
set(tidemark_missing)
foreach(entry IN LISTS tidemark_package_tools)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 tool)
  list(GET entry 1 package)
  find_program(tidemark_tool_${tool} ${tool})
  if(NOT tidemark_tool_${tool})
    list(APPEND tidemark_missing "${tool} (Debian package ${package})")
  endif()
endforeach()
if(tidemark_missing)
  list(JOIN tidemark_missing ", " tidemark_missing)
  message(FATAL_ERROR "The Debian package cannot be built: missing ${tidemark_missing}. "
    "Run .ci/need.sh package (as root it installs them; otherwise it prints the apt-get line).")
endif()
