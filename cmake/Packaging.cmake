# Installation layout and the Debian package.
#
# `cmake --install <build> --prefix <root>` lays out <root> as the daemon
# expects it under PKG_ROOT:
#   bin/     kest, klogctl, hafsim, pstack (gdb based)
#   config/  kest.ini, odbc.ini (MariaDB data source), kest.env (service options)
#   key/     process lock
#   log/     logs (log/KEST/KEST.log.YYYYMMDD), status file, stack listings,
#            hang stack dumps (log/core)
#   bill/    bill files
#   reject/  rejected rows
#   lib/systemd/system/kest.service  (the package moves it to /lib/systemd/system)
#   share/doc/kest/OPERATIONS.md
#   share/kest/kest.rules.yml  Prometheus alert rules on the status file
# `cpack -G DEB` in the build tree makes the package, rooted at KEST_PKG_ROOT.
# Its postinst creates the service account kest and hands it key/, log/,
# bill/ and reject/; config/ stays root's, readable by the group kest.

set(KEST_PKG_ROOT "/opt/kest" CACHE PATH "Installation root of the Debian package (PKG_ROOT)")

install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/pstack/pstack DESTINATION bin)
install(FILES
  ${PROJECT_SOURCE_DIR}/config/kest.ini
  ${PROJECT_SOURCE_DIR}/packaging/odbc.ini
  ${PROJECT_SOURCE_DIR}/packaging/kest.env
  DESTINATION config
  # They hold the database password: not readable by others even before
  # postinst gives them to the group kest.
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
# The daemon creates none of these folders itself.
install(DIRECTORY DESTINATION key)
install(DIRECTORY DESTINATION log/KEST)
install(DIRECTORY DESTINATION log/core)
install(DIRECTORY DESTINATION bill)
install(DIRECTORY DESTINATION reject)
install(FILES ${PROJECT_SOURCE_DIR}/docs/OPERATIONS.md DESTINATION share/doc/kest)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kest.rules.yml DESTINATION share/kest)
# The unit names the root it was installed under, known only at install time.
install(CODE "
  set(KEST_PKG_ROOT \"\${CMAKE_INSTALL_PREFIX}\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/kest.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/kest.service.in\" \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
")

# Maintainer scripts and the operator's files that an upgrade must not
# overwrite.
set(KEST_DEB_CONTROL ${PROJECT_BINARY_DIR}/deb-control)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${script}.in ${KEST_DEB_CONTROL}/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
file(WRITE ${KEST_DEB_CONTROL}/conffiles
  "${KEST_PKG_ROOT}/config/kest.ini\n${KEST_PKG_ROOT}/config/odbc.ini\n${KEST_PKG_ROOT}/config/kest.env\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kest)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kest project")
set(CPACK_PACKAGE_CONTACT "kest maintainers <kest@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Billing-record producer: moves sent short messages from TSMS_SND_MSG to daily bill files")
set(CPACK_PACKAGING_INSTALL_PREFIX ${KEST_PKG_ROOT})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/MoveUnit.cmake)
set(CPACK_STRIP_FILES OFF)  # keep symbols: stack listings and dumps need them
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-mariadb, gdb")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KEST_DEB_CONTROL}/postinst ${KEST_DEB_CONTROL}/prerm ${KEST_DEB_CONTROL}/postrm
    ${KEST_DEB_CONTROL}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
