# The Debian package, built by CPack from the install rules in this folder:
#   cmake --workflow --preset package   ->  build-package/tidemark_<version>_<arch>.deb
if(NOT CMAKE_INSTALL_PREFIX STREQUAL TIDEMARK_PACKAGE_PREFIX)
  message(STATUS "The Debian package wants CMAKE_INSTALL_PREFIX=${TIDEMARK_PACKAGE_PREFIX} "
    "(the package preset sets it); /etc files go to ${CMAKE_INSTALL_FULL_SYSCONFDIR}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidemark)
set(CPACK_PACKAGING_INSTALL_PREFIX ${TIDEMARK_PACKAGE_PREFIX})
set(CPACK_PACKAGE_CONTACT ${TIDEMARK_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "firmware upgrade utility for gigabit server network adapters")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/description.txt.in
  ${CMAKE_CURRENT_BINARY_DIR}/description.txt @ONLY)
# Read here: through CPACK_PACKAGE_DESCRIPTION_FILE CPack would escape it as XML.
file(READ ${CMAKE_CURRENT_BINARY_DIR}/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the commands every upgrade runs (ifconfig from net-tools, rmmod
# and modprobe from kmod), and what dpkg-shlibdeps finds. The vendor's
# libbmapi_x64.so.6 is in no Debian package: dpkg-shlibdeps resolves it
# against the substitute library's build folder, which adds no dependency.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "net-tools, kmod")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
get_target_property(bmapi_dir bmapi_x64 LIBRARY_OUTPUT_DIRECTORY)
if(NOT bmapi_dir)
  get_target_property(bmapi_dir bmapi_x64 BINARY_DIR)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${bmapi_dir})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

configure_file(${CMAKE_CURRENT_SOURCE_DIR}/conffiles.in ${CMAKE_CURRENT_BINARY_DIR}/conffiles @ONLY)
# The maintainer scripts make the log and backup folders, and purge removes
# the log (see their headers).
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/${script}.in ${CMAKE_CURRENT_BINARY_DIR}/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles
  ${CMAKE_CURRENT_BINARY_DIR}/postinst ${CMAKE_CURRENT_BINARY_DIR}/postrm)

# cpack stops, naming what to install, when a tool it needs is missing.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/package_tools.cmake)

include(CPack)
