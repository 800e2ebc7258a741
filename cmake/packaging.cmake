# Installation and the Debian package.
#
# The log switch sits beside the executable, found through any link to it, so the program
# lives in a folder of its own, <prefix>/lib/pelldor, with <prefix>/bin/pelldor a link to
# it: logging for an installed probe is turned on by creating
# <prefix>/lib/pelldor/ntpdebug.txt.

set(PELLDOR_PROGRAM_DIR lib/pelldor)

option(PELLDOR_LOG_IN_VAR_LOG
  "Install ntpdebug.txt beside the program as a link to /var/log/pelldor/ntpdebug.txt" OFF)
option(PELLDOR_MONITORING_FILES
  "Install check_pelldor in lib/nagios/plugins and the Icinga 2 CheckCommand in share/icinga2" OFF)

# The manual page carries the version; installed compressed, as Debian wants it.
set(PELLDOR_DATE ${PELLDOR_RELEASE_DATE})
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/doc/pelldor.1.in ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1 @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1 > ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1
  VERBATIM)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(pelldor_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

install(TARGETS pelldor pelldor-nts RUNTIME DESTINATION ${PELLDOR_PROGRAM_DIR})
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(MAKE_DIRECTORY "${root}/bin")
  message(STATUS "Installing: ${root}/bin/pelldor -> ../lib/pelldor/pelldor")
  file(CREATE_LINK ../lib/pelldor/pelldor "${root}/bin/pelldor" SYMBOLIC)
  # install_manifest.txt lists only what install() rules copy; a link made here would be
  # left behind by an uninstall that reads the manifest.
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_PREFIX}/bin/pelldor")
]])
if(PELLDOR_LOG_IN_VAR_LOG)
  # Left dangling, the link means logging off (it is no ordinary file); creating the
  # target turns logging on, and the log lands where the system keeps logs.
  install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}/var/log/pelldor")
    message(STATUS "Installing: ${root}/lib/pelldor/ntpdebug.txt -> /var/log/pelldor/ntpdebug.txt")
    file(CREATE_LINK /var/log/pelldor/ntpdebug.txt "${root}/lib/pelldor/ntpdebug.txt" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_PREFIX}/lib/pelldor/ntpdebug.txt")
  ]])
endif()
if(PELLDOR_MONITORING_FILES)
  # Where Nagios and Icinga 2 look for plugins, and where Icinga 2's `include <plugins-contrib>`
  # finds command definitions: useful under /usr only, so the package's alone.
  install(FILES packaging/icinga2/pelldor.conf DESTINATION share/icinga2/include/plugins-contrib.d)
  install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(MAKE_DIRECTORY "${root}/lib/nagios/plugins")
    message(STATUS "Installing: ${root}/lib/nagios/plugins/check_pelldor -> ../../pelldor/pelldor")
    file(CREATE_LINK ../../pelldor/pelldor "${root}/lib/nagios/plugins/check_pelldor" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_PREFIX}/lib/nagios/plugins/check_pelldor")
  ]])
endif()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pelldor.1.gz DESTINATION share/man/man1)
install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION share/doc/pelldor)
# The README links to these; beside it, as doc/, the links hold in the installed copy too.
install(FILES doc/design.md doc/testing.md doc/windows.md doc/cost.md DESTINATION share/doc/pelldor/doc)

set(CPACK_PACKAGE_NAME pelldor)
set(CPACK_PACKAGE_VENDOR "The Pelldor developers")
set(CPACK_PACKAGE_CONTACT "Pelldor developers <pelldor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "probe that tells whether an NTP server answers with a usable time")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
# Installs into a staging folder with the real prefix, so the links come out right and
# the log folder lands under /var.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Pelldor asks an NTP server for the time once, with retries, judges the answer
against the local clock and reports the verdict only through its exit status:
100 when the server answered with a time not more than 3 seconds behind the
local clock, 0 otherwise. It prints nothing and is meant to be started by
schedulers and monitoring jobs. An optional log is kept in
/var/log/pelldor/ntpdebug.txt while that file exists. As check_pelldor it is a
Nagios and Icinga plugin; Icinga 2 finds its CheckCommand, pelldor, through
include <plugins-contrib>.")

include(CPack)
