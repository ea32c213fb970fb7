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
#   lib/tmpfiles.d/kest.conf  removal of old logs by age (the package: /usr/lib/tmpfiles.d)
#   share/man/man8/kest.8, klogctl.8  (the package: /usr/share/man/man8)
#   share/doc/kest/OPERATIONS.md, CHANGELOG.md
#   share/kest/kest.rules.yml, kest.rules.test.yml  Prometheus alert rules on
#            the status file and their unit tests (promtool test rules)
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
install(FILES ${PROJECT_SOURCE_DIR}/docs/OPERATIONS.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION share/doc/kest)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kest.8 ${PROJECT_SOURCE_DIR}/docs/man/klogctl.8
        DESTINATION share/man/man8)
# The tests name the rules by a path relative to themselves: they go together.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kest.rules.yml
        ${PROJECT_SOURCE_DIR}/packaging/kest.rules.test.yml DESTINATION share/kest)
# The unit and the cleanup rule name the root they were installed under,
# known only at install time.
install(CODE "
  set(KEST_PKG_ROOT \"\${CMAKE_INSTALL_PREFIX}\")
  foreach(pair kest.service.in:lib/systemd/system/kest.service
               kest.tmpfiles.in:lib/tmpfiles.d/kest.conf)
    string(REPLACE \":\" \";\" pair \"\${pair}\")
    list(GET pair 0 from)
    list(GET pair 1 to)
    set(to \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${to}\")
    message(STATUS \"Installing: \${to}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/\${from}\" \"\${to}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${to}\")
  endforeach()
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
