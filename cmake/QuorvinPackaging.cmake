# What `cmake --install` puts in a release, and the .deb CPack makes of it. The release tarball
# (scripts/quorvin-release) is built from the same install tree.
install(TARGETS quorvin RUNTIME DESTINATION bin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvin)
set(CPACK_PACKAGE_VENDOR "Quorvin")
set(CPACK_PACKAGE_CONTACT "Quorvin maintainers <maintainers@quorvin.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live token usage and cost of AI coding agents, in the tray")
set(CPACK_PACKAGE_FILE_NAME quorvin-linux)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME quorvin-linux.deb)
# Library dependencies are read from the binaries when dpkg-shlibdeps is present.
find_program(QUORVIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUORVIN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
