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
# The command the command scenarios run after extraction.
set(WINE_MARKER ${CMAKE_CURRENT_BINARY_DIR}/wine/marker.exe)
add_custom_command(OUTPUT ${WINE_MARKER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/wine
  COMMAND ${MINGW64_CXX} -O1 -static -Wall -o ${WINE_MARKER} ${CMAKE_CURRENT_SOURCE_DIR}/wine/marker.cpp
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/wine/marker.cpp
  COMMENT "Building the Wine test command"
  VERBATIM)
# The Win32 platform wrappers, tested on their own.
set(WINE_BACKEND_TEST ${CMAKE_CURRENT_BINARY_DIR}/wine/win32_backend_test.exe)
set(WINE_BACKEND_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/wine/win32_backend_test.cpp
  ${CMAKE_SOURCE_DIR}/platform/win32.cpp
  ${CMAKE_SOURCE_DIR}/platform/messages.cpp
  ${CMAKE_SOURCE_DIR}/platform/text.cpp
  ${CMAKE_SOURCE_DIR}/archive/stub_info.cpp)
add_custom_command(OUTPUT ${WINE_BACKEND_TEST}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/wine
  COMMAND ${MINGW64_CXX} -std=c++17 -O1 -static -Wall -I${CMAKE_SOURCE_DIR} -o ${WINE_BACKEND_TEST}
          ${WINE_BACKEND_SOURCES}
  DEPENDS ${WINE_BACKEND_SOURCES}
  COMMENT "Building the Win32 backend test"
  VERBATIM)
add_custom_target(sfx_driver ALL DEPENDS ${WINE_DRIVER} ${WINE_MARKER} ${WINE_BACKEND_TEST})

# The host helper that builds the self-extractors.
add_executable(sfx_fixture ${CMAKE_CURRENT_SOURCE_DIR}/wine/sfx_fixture.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_util.cpp)
target_link_libraries(sfx_fixture PRIVATE dravex_packer)
target_compile_definitions(sfx_fixture PRIVATE DRAVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(sfx_fixture dravex_stub64)

set(WINE_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wine/run.sh)
set(WINE_SESSION ${CMAKE_CURRENT_SOURCE_DIR}/wine/session.sh)
set(WINE_ENV
  "DRAVEX_BUILD=${CMAKE_BINARY_DIR}"
  "DRAVEX_STUB64=${DRAVEX_STUB64_PATH}"
  "SFX_FIXTURE=$<TARGET_FILE:sfx_fixture>"
  "SFX_DRIVER=${WINE_DRIVER}"
  "SFX_MARKER=${WINE_MARKER}"
  "SFX_BACKEND_TEST=${WINE_BACKEND_TEST}")

# One X server and one persistent Wine server for all scenarios (starting
# Wine costs seconds; the first start also creates the prefix). The
# scenarios share them, so they run one at a time.
add_test(NAME wine.session_start COMMAND bash ${WINE_SESSION} start ${CMAKE_BINARY_DIR})
add_test(NAME wine.session_stop COMMAND bash ${WINE_SESSION} stop ${CMAKE_BINARY_DIR})
set_tests_properties(wine.session_start PROPERTIES
  FIXTURES_SETUP wine_session LABELS wine SKIP_RETURN_CODE 77 RESOURCE_LOCK wine TIMEOUT 300)
set_tests_properties(wine.session_stop PROPERTIES
  FIXTURES_CLEANUP wine_session LABELS wine RESOURCE_LOCK wine)

set(WINE_SCENARIOS
  win32_backend
  empty_archive
  modified_stub
  cut_archive_header
  extract_tree
  help_and_cancel
  close_box
  enter_extracts
  overwrite_answers
  overwrite_preset
  cancel_large
  command_after
  damaged_archive
  crc_failure)
foreach(scenario ${WINE_SCENARIOS})
  add_test(NAME wine.${scenario} COMMAND bash ${WINE_RUN} ${scenario})
  set_tests_properties(wine.${scenario} PROPERTIES
    ENVIRONMENT "${WINE_ENV}"
    FIXTURES_REQUIRED wine_session
    LABELS wine SKIP_RETURN_CODE 77 RESOURCE_LOCK wine TIMEOUT 180)
endforeach()
