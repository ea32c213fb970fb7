# CPack pre-build script: the unit, the tmpfiles.d rule and the manual pages
# go where systemd and man look for those of packages, not below the
# installation root.
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
set(root "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${stage}/lib" "${stage}/usr/lib" "${stage}/usr/share")
file(RENAME "${root}/lib/systemd" "${stage}/lib/systemd")
file(RENAME "${root}/lib/tmpfiles.d" "${stage}/usr/lib/tmpfiles.d")
file(RENAME "${root}/share/man" "${stage}/usr/share/man")
file(GLOB left "${root}/lib/*")
if(NOT left)
  file(REMOVE_RECURSE "${root}/lib")
endif()
