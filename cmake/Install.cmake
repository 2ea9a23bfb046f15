# Install rules: debian/rules installs the client through them (dh_auto_install). The unit, the
# sample settings and the manual page are installed by debhelper from debian/.
include(GNUInstallDirs)
install(TARGETS qltRestClientQt RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
