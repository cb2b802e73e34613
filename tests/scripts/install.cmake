# The install and the Debian package: tests/install/check_package.sh runs
# cpack in the build folder and tries the .deb in a scratch root.
# The package is the release build's: an instrumented qvx is not what ships.
if(NOT TARGET qvx OR DRAVEX_SANITIZE)
  return()
endif()
find_program(DRAVEX_DPKG_DEB dpkg-deb)
find_program(DRAVEX_MAN man)
if(NOT DRAVEX_DPKG_DEB OR NOT DRAVEX_MAN)
  message(WARNING "dpkg-deb or man not found: the package test is not registered")
  return()
endif()
add_test(NAME install.deb_package
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/check_package.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:qvx>
          ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR})
set_tests_properties(install.deb_package PROPERTIES TIMEOUT 900 ENVIRONMENT "TZ=UTC")
