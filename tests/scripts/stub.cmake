# The cross-built stubs: their paths for the unit tests, and script tests of
# their format and import table.
if(NOT DRAVEX_BUILD_STUB)
  return()
endif()

add_dependencies(dravex_tests dravex_stub32 dravex_stub64)
target_compile_definitions(dravex_tests PRIVATE
  DRAVEX_STUB32_PATH="${DRAVEX_STUB32_PATH}"
  DRAVEX_STUB64_PATH="${DRAVEX_STUB64_PATH}")

add_test(NAME stub.pe32_format_and_imports
  COMMAND ${CMAKE_COMMAND} -DSTUB=${DRAVEX_STUB32_PATH} -DOBJDUMP=i686-w64-mingw32-objdump -DFORMAT=pei-i386
          -P ${CMAKE_SOURCE_DIR}/cmake/stub/check_stub.cmake)
add_test(NAME stub.pe32plus_format_and_imports
  COMMAND ${CMAKE_COMMAND} -DSTUB=${DRAVEX_STUB64_PATH} -DOBJDUMP=x86_64-w64-mingw32-objdump -DFORMAT=pei-x86-64
          -P ${CMAKE_SOURCE_DIR}/cmake/stub/check_stub.cmake)
