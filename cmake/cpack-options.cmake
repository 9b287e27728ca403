# Read by CPack for each kind of package: the Debian package installs under
# /usr, the tarball unpacks anywhere with bin/ and share/ at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
