# qvx.exe under wine64: the command-line table (cases that need POSIX are
# marked @needs posix and skipped) and a comparison with qvx (the same
# archive bytes from the same tree, and a round trip). Label "wine".
if(NOT DRAVEX_QVX_EXE_PATH OR NOT TARGET qvx)
  return()
endif()
find_program(DRAVEX_WINE wine)
if(NOT DRAVEX_WINE)
  message(STATUS "qvx.exe tests off: no wine")
  return()
endif()
set(_qvx_exe_env
  "QVX_EXE=${DRAVEX_QVX_EXE_PATH}" "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix-qvx" "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml=" "DRAVEX_QVX_WINDOWS=1" "TZ=UTC")
# Both run under one Wine server kept alive for the whole test.
set(_with_wineserver bash ${CMAKE_CURRENT_SOURCE_DIR}/qvx_exe/with-wineserver.sh)
add_test(NAME wine.qvx_exe_cli_cases
  COMMAND ${_with_wineserver} ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/cli/run.py ${CMAKE_CURRENT_SOURCE_DIR}/cli/cases.txt
          ${CMAKE_CURRENT_SOURCE_DIR}/qvx_exe/wine-qvx.sh "${DRAVEX_STUB32_PATH}" "${DRAVEX_CLI_SHARED}")
add_test(NAME wine.qvx_exe_same_archives
  COMMAND ${_with_wineserver} bash ${CMAKE_CURRENT_SOURCE_DIR}/qvx_exe/same_archives.sh $<TARGET_FILE:qvx> ${DRAVEX_QVX_EXE_PATH}
          ${CMAKE_BINARY_DIR}/qvx-exe-test)
# One Wine prefix: the two run one after the other.
set_tests_properties(wine.qvx_exe_cli_cases wine.qvx_exe_same_archives PROPERTIES
  LABELS wine ENVIRONMENT "${_qvx_exe_env}" TIMEOUT 900 RESOURCE_LOCK wine-prefix-qvx)
