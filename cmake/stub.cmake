# Cross-builds the stub twice from the same sources with the mingw-w64
# toolchains: PE32 (i686, what we ship and embed into qvx) and PE32+
# (x86-64, what the Wine tests run). Sets DRAVEX_EMBEDDED_STUB_SOURCE and
# DRAVEX_EMBEDDED_STUB_TARGET for the archiver, and DRAVEX_STUB32_PATH and
# DRAVEX_STUB64_PATH for the tests (empty when the stub is not built).
set(DRAVEX_STUB32_PATH "")
set(DRAVEX_STUB64_PATH "")

if(DRAVEX_BUILD_STUB)
  find_program(DRAVEX_MINGW32_CXX i686-w64-mingw32-g++)
  find_program(DRAVEX_MINGW64_CXX x86_64-w64-mingw32-g++)
  if(NOT DRAVEX_MINGW32_CXX OR NOT DRAVEX_MINGW64_CXX)
    message(WARNING "mingw-w64 (i686 and x86-64) not found: building without the Windows stub "
                    "(scripts/install-deps.sh installs it, or pass -DDRAVEX_BUILD_STUB=OFF)")
    set(DRAVEX_BUILD_STUB OFF)
  endif()
endif()

if(NOT DRAVEX_BUILD_STUB)
  set(DRAVEX_EMBEDDED_STUB_SOURCE ${CMAKE_SOURCE_DIR}/cmake/stub/no_embedded_stub.cpp)
  set(DRAVEX_EMBEDDED_STUB_TARGET "")
  return()
endif()

include(ExternalProject)

# A host program the stub's build runs on the linked image (see its source).
add_executable(dravex_point_relocations ${CMAKE_SOURCE_DIR}/cmake/stub/point_relocations.cpp)

set(DRAVEX_STUB32_PATH ${CMAKE_BINARY_DIR}/dravex-stub.exe)
set(DRAVEX_STUB64_PATH ${CMAKE_BINARY_DIR}/dravex-stub64.exe)

# BUILD_ALWAYS: the sub-build tracks the shared sources itself, so running
# it every time costs a make that finds nothing to do.
function(dravex_add_stub target arch name)
  ExternalProject_Add(${target}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/stub
    BINARY_DIR ${CMAKE_BINARY_DIR}/stub-${arch}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-${arch}-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel
      -DDRAVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}
      -DDRAVEX_STUB_NAME=${name}
      -DDRAVEX_OUTPUT_DIR=${CMAKE_BINARY_DIR}
      -DDRAVEX_VERSION=${PROJECT_VERSION}
      -DDRAVEX_POINT_RELOCATIONS=$<TARGET_FILE:dravex_point_relocations>
    DEPENDS dravex_point_relocations
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/${name}.exe)
endfunction()

dravex_add_stub(dravex_stub32 i686 dravex-stub)
dravex_add_stub(dravex_stub64 x86_64 dravex-stub64)

set(DRAVEX_EMBEDDED_STUB_SOURCE ${CMAKE_BINARY_DIR}/embedded_stub.cpp)
add_custom_target(dravex_embedded_stub
  COMMAND ${CMAKE_COMMAND} -DSTUB=${DRAVEX_STUB32_PATH} -DOUTPUT=${DRAVEX_EMBEDDED_STUB_SOURCE}
          -P ${CMAKE_SOURCE_DIR}/cmake/stub/embed_stub.cmake
  BYPRODUCTS ${DRAVEX_EMBEDDED_STUB_SOURCE}
  DEPENDS dravex_stub32 dravex_stub64
  COMMENT "Embedding the PE32 stub"
  VERBATIM)
set(DRAVEX_EMBEDDED_STUB_TARGET dravex_embedded_stub)
