# Command-line tests of qvx: the table tests/cli/cases.txt, run by
# tests/cli/run.py with the qvx binary, the PE32 stub (empty when the stub is
# not built) and the shared material (for the conformance samples; the cases
# that need what is missing are skipped).
if(TARGET qvx)
  if(DEFINED ENV{DRAVEX_SHARED})
    set(DRAVEX_CLI_SHARED $ENV{DRAVEX_SHARED})
  else()
    get_filename_component(DRAVEX_CLI_SHARED ${CMAKE_SOURCE_DIR}/../shared ABSOLUTE)
  endif()
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME cli_cases
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/cli/run.py ${CMAKE_CURRENT_SOURCE_DIR}/cli/cases.txt
                   $<TARGET_FILE:qvx> "${DRAVEX_STUB32_PATH}" "${DRAVEX_CLI_SHARED}")
  set_tests_properties(cli_cases PROPERTIES ENVIRONMENT "TZ=UTC" TIMEOUT 900)
endif()
