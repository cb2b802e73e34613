# Installing qvx: `cmake --install build` (prefix /usr/local by default) and
# `cpack -G DEB` in the build folder (a .deb for /usr). What goes where:
#   bin/qvx
#   share/man/man1/qvx.1.gz
#   share/bash-completion/completions/qvx
#   share/dravex/dravex-stub.exe   the PE32 stub, for qvx sfx (when built)
include(GNUInstallDirs)

install(TARGETS qvx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages are installed compressed; -n keeps the name and time out, so the
# bytes depend on the page alone.
find_program(DRAVEX_GZIP gzip REQUIRED)
set(DRAVEX_MAN_PAGE ${CMAKE_BINARY_DIR}/qvx.1.gz)
add_custom_command(OUTPUT ${DRAVEX_MAN_PAGE}
  COMMAND ${DRAVEX_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/tools/qvx.1 > ${DRAVEX_MAN_PAGE}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/qvx.1
  VERBATIM)
add_custom_target(qvx_man_page ALL DEPENDS ${DRAVEX_MAN_PAGE})
install(FILES ${DRAVEX_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_SOURCE_DIR}/tools/qvx.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qvx)

if(DRAVEX_STUB32_PATH)
  install(FILES ${DRAVEX_STUB32_PATH} DESTINATION ${CMAKE_INSTALL_DATADIR}/dravex)
endif()

# --- the Debian package --------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dravex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Dravex developers")
set(CPACK_PACKAGE_CONTACT "The Dravex developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries qvx links (libdivsufsort, the C++ runtime) become the
# package's dependencies, with the versions this system built against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QVX archives and self-extractors for Windows")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "QVX archives and self-extractors for Windows
 qvx creates QVX archives and Windows self-extractors (a small Win32 stub
 followed by the archive) from files and folders, and lists, tests and
 extracts them without Windows or Wine.")
include(CPack)
