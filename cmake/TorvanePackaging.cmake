# SPDX-License-Identifier: MIT
# Installation on Linux and the Debian package (cpack -G DEB): the SANE backend
# in SANE's backend folder, the driver libraries in a folder of their own
# beside it, the SANE configuration, the udev hwdb entry, the programs and
# their manual pages. The package passes `lintian --pedantic`
# (scripts/package-ci.sh checks it).
include(GNUInstallDirs)
# Installing builds nothing: the build comes first (scripts/test.sh in CI).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS sane-torvane LIBRARY DESTINATION ${TORVANE_SANE_LIBDIR}/sane NAMELINK_SKIP)
# KT918.so is the same library under the model name it checks scanners against.
# torvane-scan and the backend both look in this folder.
install(FILES $<TARGET_FILE:torvane_driver> ${PROJECT_BINARY_DIR}/lib/KT918.so
  DESTINATION ${TORVANE_DRIVER_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/sane/torvane.conf DESTINATION /etc/sane.d)
file(WRITE ${PROJECT_BINARY_DIR}/sane/dll.d/torvane "torvane\n")
install(FILES ${PROJECT_BINARY_DIR}/sane/dll.d/torvane DESTINATION /etc/sane.d/dll.d)
# Where Debian's udev package watches with its trigger: installing or removing
# the file rebuilds udev's own database. We write no database of our own (one
# in /etc would shadow the system's and outlive the package).
install(FILES ${PROJECT_SOURCE_DIR}/sane/60-torvane.hwdb DESTINATION /lib/udev/hwdb.d)
install(TARGETS torvane-scan torvane-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog, compressed as Debian ships them (gzip -9n:
# no name or time stamp, so the package is the same from build to build).
set(TORVANE_DOC_OUT ${PROJECT_BINARY_DIR}/package/doc)
set(TORVANE_COMPRESSED_DOCS "")
foreach(page torvane-scan.1 torvane-sim.1 sane-torvane.5 changelog)
  if(page STREQUAL "changelog")
    set(source ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
  else()
    set(source ${PROJECT_SOURCE_DIR}/doc/man/${page})
  endif()
  add_custom_command(OUTPUT ${TORVANE_DOC_OUT}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TORVANE_DOC_OUT}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${TORVANE_DOC_OUT}/${page}
    COMMAND gzip -9nf ${TORVANE_DOC_OUT}/${page}
    DEPENDS ${source} VERBATIM)
  list(APPEND TORVANE_COMPRESSED_DOCS ${TORVANE_DOC_OUT}/${page}.gz)
endforeach()
add_custom_target(torvane_package_docs ALL DEPENDS ${TORVANE_COMPRESSED_DOCS})
install(FILES ${TORVANE_DOC_OUT}/torvane-scan.1.gz ${TORVANE_DOC_OUT}/torvane-sim.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TORVANE_DOC_OUT}/sane-torvane.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${TORVANE_DOC_OUT}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/torvane)

set(CPACK_PACKAGE_NAME torvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Torvane driver developers <packaging@torvane.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver, SANE backend and tools for Torvane document scanners")
set(CPACK_PACKAGE_DESCRIPTION
  "The driver library of the Torvane family of USB document scanners (RM735,
KT918 and their kin), with the SANE backend torvane, through which
scanimage, simple-scan, xsane and every other SANE front end drive them.

The package also holds torvane-scan, a command-line front end that scans to
PNG, TIFF or PNM and reaches the scanner's service functions (its memory
record, power timers and buttons), and torvane-sim, a virtual scanner for
trying the driver without one.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsane1")
# Without sane-utils there is no scanimage.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sane-utils")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Stripped programs and libraries; their debug symbols go into
# torvane-dbgsym_VERSION_amd64.ddeb, found by build id under /usr/lib/debug.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/sane.d/torvane.conf\n/etc/sane.d/dll.d/torvane\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
