# Wine tests of the self-extractor: the x86-64 stub runs under Wine on a
# private X server, driven by tests/wine/sfx_driver (a Windows program that
# finds the dialogs, reads and sets their controls and presses buttons). They
# carry the label "wine"; without wine or Xvfb they are skipped.
if(NOT DRAVEX_BUILD_STUB)
  return()
endif()

find_program(MINGW64_CXX x86_64-w64-mingw32-g++)
if(NOT MINGW64_CXX)
  message(STATUS "Wine tests off: no x86_64-w64-mingw32-g++")
  return()
endif()

# The driver: an ordinary Windows program with the C runtime.
set(WINE_DRIVER ${CMAKE_CURRENT_BINARY_DIR}/wine/sfx_driver.exe)
add_custom_command(OUTPUT ${WINE_DRIVER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/wine
  COMMAND ${MINGW64_CXX} -O1 -static -Wall -o ${WINE_DRIVER} ${CMAKE_CURRENT_SOURCE_DIR}/wine/sfx_driver.cpp
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/wine/sfx_driver.cpp
  COMMENT "Building the Wine test driver"
  VERBATIM)
add_custom_target(sfx_driver ALL DEPENDS ${WINE_DRIVER})

# The host helper that builds the self-extractors.
add_executable(sfx_fixture ${CMAKE_CURRENT_SOURCE_DIR}/wine/sfx_fixture.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_util.cpp)
target_link_libraries(sfx_fixture PRIVATE dravex_packer)
target_compile_definitions(sfx_fixture PRIVATE DRAVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(sfx_fixture dravex_stub64)

set(WINE_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wine/run.sh)
set(WINE_QVX "")
if(TARGET qvx)
  set(WINE_QVX $<TARGET_FILE:qvx>)
endif()

# Creating the Wine prefix takes a while the first time; every scenario
# needs it, and they share one Wine server, so they run one at a time.
add_test(NAME wine.prefix
  COMMAND sh -c "command -v wine >/dev/null && command -v xvfb-run >/dev/null || { echo 'SKIP: no wine or xvfb-run'; exit 77; }; xvfb-run -a sh -c 'wineboot -i; wineserver -w'"
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(wine.prefix PROPERTIES
  FIXTURES_SETUP wine_prefix
  ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix;WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml="
  LABELS wine SKIP_RETURN_CODE 77 RESOURCE_LOCK wine TIMEOUT 300)

set(WINE_SCENARIOS
  empty_archive
  modified_stub
  cut_archive_header)
foreach(scenario ${WINE_SCENARIOS})
  add_test(NAME wine.${scenario}
    COMMAND bash ${WINE_RUN} ${scenario} ${CMAKE_BINARY_DIR} ${DRAVEX_STUB64_PATH}
            $<TARGET_FILE:sfx_fixture> ${WINE_DRIVER} ${WINE_QVX})
  set_tests_properties(wine.${scenario} PROPERTIES
    FIXTURES_REQUIRED wine_prefix
    LABELS wine SKIP_RETURN_CODE 77 RESOURCE_LOCK wine TIMEOUT 180)
endforeach()
