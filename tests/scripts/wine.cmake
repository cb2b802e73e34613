# Wine tests of the self-extractor: each stub runs under Wine on a private X
# server, driven by tests/wine/sfx_driver (a Windows program that finds the
# dialogs, reads and sets their controls and presses buttons). wine.* run the
# x86-64 stub under the system's Wine; wine32.* run the shipped PE32 stub
# under 32-bit Wine through qemu (scripts/setup-pe32-wine.sh, which needs
# root). They carry the label "wine"; without wine, Xvfb or (for wine32.*)
# the 32-bit set-up they are skipped.
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
  COMMAND ${MINGW64_CXX} -O1 -static -Wall -o ${WINE_DRIVER} ${CMAKE_CURRENT_SOURCE_DIR}/wine/sfx_driver.cpp -lgdi32
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
add_executable(sfx_fixture ${CMAKE_CURRENT_SOURCE_DIR}/wine/sfx_fixture.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_util.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/pe_rebase.cpp)
target_link_libraries(sfx_fixture PRIVATE dravex_packer)
target_compile_definitions(sfx_fixture PRIVATE DRAVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(sfx_fixture dravex_stub32 dravex_stub64)

set(WINE_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wine/run.sh)
set(WINE_SESSION ${CMAKE_CURRENT_SOURCE_DIR}/wine/session.sh)
set(WINE_ENV
  "DRAVEX_BUILD=${CMAKE_BINARY_DIR}"
  "SFX_FIXTURE=$<TARGET_FILE:sfx_fixture>"
  "SFX_DRIVER=${WINE_DRIVER}"
  "SFX_MARKER=${WINE_MARKER}"
  "SFX_BACKEND_TEST=${WINE_BACKEND_TEST}")

# One X server and one persistent Wine server for all scenarios of a stub
# (starting Wine costs seconds; the first start also creates the prefix, and
# for the PE32 stub sets up 32-bit Wine, once per machine). The scenarios
# share them, so they run one at a time.
set(WINE_SCENARIOS
  win32_backend
  empty_archive
  modified_stub
  cut_archive_header
  extract_tree
  help_and_cancel
  keys_and_browse
  empty_folder
  close_box
  enter_extracts
  overwrite_answers
  overwrite_preset
  cancel_large
  owner_and_progress
  command_after
  damaged_archive
  damaged_checked
  crc_failure
  name_too_long
  signed
  rebased
  unicode_names
  switches_silent
  switches_dialog
  switches_exit_codes
  free_space
  publisher_texts
  folder_variables
  folder_retry
  command_fails
  question_long_name
  publisher_screenshots
  screenshots)
# The backend test is a 64-bit program of its own, not the stub.
set(WINE32_SCENARIOS ${WINE_SCENARIOS})
list(REMOVE_ITEM WINE32_SCENARIOS win32_backend)

function(dravex_add_wine_tests prefix arch stub timeout)
  set(env ${WINE_ENV} "DRAVEX_WINE_ARCH=${arch}" "DRAVEX_WINE_STUB=${stub}")
  add_test(NAME ${prefix}.session_start COMMAND bash ${WINE_SESSION} start ${CMAKE_BINARY_DIR})
  add_test(NAME ${prefix}.session_stop COMMAND bash ${WINE_SESSION} stop ${CMAKE_BINARY_DIR})
  set_tests_properties(${prefix}.session_start PROPERTIES ENVIRONMENT "${env}"
    FIXTURES_SETUP ${prefix}_session LABELS wine SKIP_RETURN_CODE 77 RESOURCE_LOCK wine TIMEOUT 900)
  set_tests_properties(${prefix}.session_stop PROPERTIES ENVIRONMENT "${env}"
    FIXTURES_CLEANUP ${prefix}_session LABELS wine RESOURCE_LOCK wine)
  foreach(scenario ${ARGN})
    add_test(NAME ${prefix}.${scenario} COMMAND bash ${WINE_RUN} ${scenario})
    set_tests_properties(${prefix}.${scenario} PROPERTIES
      ENVIRONMENT "${env}"
      FIXTURES_REQUIRED ${prefix}_session
      LABELS wine SKIP_RETURN_CODE 77 RESOURCE_LOCK wine TIMEOUT ${timeout})
  endforeach()
endfunction()

dravex_add_wine_tests(wine 64 ${DRAVEX_STUB64_PATH} 180 ${WINE_SCENARIOS})
dravex_add_wine_tests(wine32 32 ${DRAVEX_STUB32_PATH} 300 ${WINE32_SCENARIOS})
