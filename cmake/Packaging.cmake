# Install rules and the Debian package the devices get (cmake --build build --target package).
#
# The prefix defaults to /usr, where a Debian package belongs, and the package installs into the
# same prefix, so the unit's ExecStart always names the path the binary lands at.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/usr" CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(QLT_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
configure_file("${QLT_PACKAGING_DIR}/qltRestClientQt.service.in"
    "${PROJECT_BINARY_DIR}/packaging/qltRestClientQt.service" @ONLY)

install(TARGETS qltRestClientQt RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${PROJECT_BINARY_DIR}/packaging/qltRestClientQt.service"
    DESTINATION lib/systemd/system)
# Documentation only: the client reads its settings from the data root and writes the defaults
# there itself, so nothing is installed under /etc.
install(FILES "${QLT_PACKAGING_DIR}/qltRestClientQt.ini.sample"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/qltrestclientqt")

set(QLT_PACKAGE_MAINTAINER "POS device team <pos-devices@localhost>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qltrestclientqt)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Remote-management client for POS devices")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QLT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Qt loads OpenSSL at run time, and the client runs ps, kill and ping through the shell; none of
# that shows in the binary's linked libraries, so the list is explicit.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt5core5a (>= 5.15), libqt5network5 (>= 5.15), zlib1g, libre2-9, procps, iputils-ping, libssl3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${QLT_PACKAGING_DIR}/debian/postinst"
    "${QLT_PACKAGING_DIR}/debian/prerm"
    "${QLT_PACKAGING_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
