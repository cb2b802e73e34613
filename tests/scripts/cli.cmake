# Command-line tests of qvx: every tests/cli/*.sh is one test, run with the
# qvx binary, the PE32 stub (empty when the stub is not built) and the shared
# material (for the conformance samples; the script skips what is missing).
if(TARGET qvx)
  if(DEFINED ENV{DRAVEX_SHARED})
    set(DRAVEX_CLI_SHARED $ENV{DRAVEX_SHARED})
  else()
    get_filename_component(DRAVEX_CLI_SHARED ${CMAKE_SOURCE_DIR}/../shared ABSOLUTE)
  endif()
  file(GLOB CLI_TEST_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cli/*.sh)
  foreach(script ${CLI_TEST_SCRIPTS})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME cli_${name}
             COMMAND bash ${script} $<TARGET_FILE:qvx> "${DRAVEX_STUB32_PATH}" "${DRAVEX_CLI_SHARED}")
    set_tests_properties(cli_${name} PROPERTIES ENVIRONMENT "TZ=UTC" TIMEOUT 900)
  endforeach()
endif()
