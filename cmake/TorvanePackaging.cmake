# SPDX-License-Identifier: MIT
# Installation on Linux and the Debian package (cpack -G DEB): the SANE backend
# in SANE's backend folder, the driver libraries in a folder of their own
# beside it, the SANE configuration, the udev hwdb entry, and the programs.
include(GNUInstallDirs)
# Installing builds nothing: the build comes first (scripts/test.sh in CI).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS sane-torvane LIBRARY DESTINATION ${TORVANE_SANE_LIBDIR}/sane NAMELINK_SKIP)
# KT918.so is the same library under the model name it checks scanners against.
install(FILES $<TARGET_FILE:torvane_driver> ${PROJECT_BINARY_DIR}/lib/KT918.so
  DESTINATION ${TORVANE_SANE_LIBDIR}/torvane)
install(FILES ${PROJECT_SOURCE_DIR}/sane/torvane.conf DESTINATION /etc/sane.d)
file(WRITE ${PROJECT_BINARY_DIR}/sane/dll.d/torvane "torvane\n")
install(FILES ${PROJECT_BINARY_DIR}/sane/dll.d/torvane DESTINATION /etc/sane.d/dll.d)
install(FILES ${PROJECT_SOURCE_DIR}/sane/60-torvane.hwdb DESTINATION /usr/lib/udev/hwdb.d)
install(TARGETS torvane-scan torvane-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# torvane-scan looks for MODEL.so in the lib folder beside its own folder:
# links there to the driver libraries.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
foreach(model RM735 KT918)
  file(CREATE_LINK ${TORVANE_SANE_LIBDIR}/torvane/${model}.so ${PROJECT_BINARY_DIR}/package/${model}.so SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/package/${model}.so DESTINATION lib)
endforeach()

set(CPACK_PACKAGE_NAME torvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Torvane driver developers <torvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Torvane document scanner driver, SANE backend and tools")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsane1")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Reload the hardware database so that a plugged-in scanner is matched at once.
file(WRITE ${PROJECT_BINARY_DIR}/debian/postinst
  "#!/bin/sh\nset -e\nif command -v systemd-hwdb >/dev/null 2>&1; then systemd-hwdb update || true; fi\n")
file(CHMOD ${PROJECT_BINARY_DIR}/debian/postinst PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/sane.d/torvane.conf\n/etc/sane.d/dll.d/torvane\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/conffiles)
set(CPACK_GENERATOR DEB)
include(CPack)
