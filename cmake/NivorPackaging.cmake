# Install rules and packages: a Debian package of the Linux program, a zip
# of the Windows one.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME nivor)
set(CPACK_PACKAGE_VENDOR "NIVOR-Projekt")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "NIVOR-Projekt <pakete@nivor.invalid>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS nivor RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS nivor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian's policy wants manual pages compressed.
  set(manual_page ${CMAKE_CURRENT_BINARY_DIR}/nivor.1.gz)
  add_custom_command(OUTPUT ${manual_page}
                     COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/docs/nivor.1 > ${manual_page}
                     DEPENDS docs/nivor.1 VERBATIM)
  add_custom_target(nivor_manual_page ALL DEPENDS ${manual_page})
  install(FILES ${manual_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # postinst grants the capability with setcap.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
