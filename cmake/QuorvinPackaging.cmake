# What `cmake --install` puts in a release, and the .deb CPack makes of it. The release tarball
# (scripts/quorvin-release) is built from the same install tree.
include(GNUInstallDirs)
install(TARGETS quorvin RUNTIME DESTINATION bin)
# The executable looks for the rest of the program in ../lib/quorvin (src/app/ProgramModule.cpp).
install(TARGETS quorvin_program LIBRARY DESTINATION lib/quorvin)

# The desktop around the program: its menu entry and icon, the launch-at-login template (an
# installed copy writes its own into ~/.config/autostart), a systemd --user unit for machines
# without a display (`systemctl --user enable --now quorvin-headless`), and the man pages.
install(FILES packaging/quorvin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications RENAME app.quorvin.menubar.desktop)
install(FILES packaging/quorvin.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES packaging/app.quorvin.menubar.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvin/autostart)
install(FILES packaging/quorvin-headless.service DESTINATION lib/systemd/user)
install(FILES packaging/quorvin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The service is its own product: `cmake --install build --component server` installs it; the
# desktop .deb leaves it out.
if(TARGET quorvin-server)
  install(TARGETS quorvin-server RUNTIME DESTINATION bin COMPONENT server EXCLUDE_FROM_ALL)
  install(FILES packaging/quorvin-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server EXCLUDE_FROM_ALL)
endif()

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
