# The release number has one home: project(VERSION) in the top CMakeLists.txt.
# The host build passes PROJECT_VERSION; the stub's own build (a separate
# CMake project) is given it, or reads it from there when configured alone.
# dravex_write_version_header(VERSION DIR) writes DIR/dravex_version.h, which
# qvx and the stub's version resource include.
function(dravex_write_version_header version dir)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "the version \"${version}\" is not MAJOR.MINOR.PATCH")
  endif()
  set(DRAVEX_VERSION ${version})
  set(DRAVEX_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(DRAVEX_VERSION_MINOR ${CMAKE_MATCH_2})
  set(DRAVEX_VERSION_PATCH ${CMAKE_MATCH_3})
  configure_file(${DRAVEX_VERSION_TEMPLATE} ${dir}/dravex_version.h @ONLY)
endfunction()

function(dravex_read_project_version source_dir out)
  file(READ ${source_dir}/CMakeLists.txt top)
  if(NOT top MATCHES "project\\(dravex VERSION ([0-9.]+)")
    message(FATAL_ERROR "no project(dravex VERSION ...) in ${source_dir}/CMakeLists.txt")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

set(DRAVEX_VERSION_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../resources/version.h.in)
