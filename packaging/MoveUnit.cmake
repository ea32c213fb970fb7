# CPack pre-build script: the unit goes where systemd looks for the units of
# packages, not below the installation root.
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
set(root "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${stage}/lib")
file(RENAME "${root}/lib/systemd" "${stage}/lib/systemd")
file(GLOB left "${root}/lib/*")
if(NOT left)
  file(REMOVE_RECURSE "${root}/lib")
endif()
