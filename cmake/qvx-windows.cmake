# qvx.exe: the host tool for Windows (x86-64), cross-built from the same
# sources as qvx with the posix-thread mingw-w64 compilers and linked static,
# so it is one file. libdivsufsort is built for the target from Debian's
# source package, which scripts/install-deps.sh unpacks into
# /var/cache/dravex/src (DRAVEX_DIVSUFSORT_SOURCE names another folder);
# CLI11 and nlohmann-json are headers. Where a part is missing the build
# goes on without qvx.exe, with a warning. Sets DRAVEX_QVX_EXE_PATH (empty
# when it is not built).
option(DRAVEX_BUILD_QVX_EXE "Cross-build qvx.exe for Windows (needs mingw-w64 and libdivsufsort's source)" ON)
set(DRAVEX_QVX_EXE_PATH "")
if(NOT DRAVEX_BUILD_QVX_EXE OR NOT DRAVEX_BUILD_STUB)
  return()
endif()

find_program(DRAVEX_MINGW64_POSIX_CXX x86_64-w64-mingw32-g++-posix)
if(NOT DRAVEX_DIVSUFSORT_SOURCE)
  file(GLOB _divsufsort_sources LIST_DIRECTORIES true /var/cache/dravex/src/libdivsufsort-*)
  foreach(dir ${_divsufsort_sources})
    if(EXISTS ${dir}/lib/divsufsort.c)
      set(DRAVEX_DIVSUFSORT_SOURCE ${dir})
    endif()
  endforeach()
endif()
find_path(DRAVEX_CLI11_INCLUDE CLI/CLI.hpp)
find_path(DRAVEX_JSON_INCLUDE nlohmann/json.hpp)
set(_missing "")
if(NOT DRAVEX_MINGW64_POSIX_CXX)
  list(APPEND _missing "x86_64-w64-mingw32-g++-posix")
endif()
if(NOT DRAVEX_DIVSUFSORT_SOURCE OR NOT EXISTS ${DRAVEX_DIVSUFSORT_SOURCE}/lib/divsufsort.c)
  list(APPEND _missing "libdivsufsort's source (scripts/install-deps.sh fetches it)")
endif()
if(NOT DRAVEX_CLI11_INCLUDE OR NOT DRAVEX_JSON_INCLUDE)
  list(APPEND _missing "the CLI11 and nlohmann-json headers")
endif()
if(_missing)
  list(JOIN _missing ", " _missing)
  message(WARNING "qvx.exe is not built: missing ${_missing}")
  return()
endif()

include(ExternalProject)
set(DRAVEX_DIVSUFSORT_MINGW ${CMAKE_BINARY_DIR}/divsufsort-mingw64)
ExternalProject_Add(dravex_divsufsort_mingw64
  SOURCE_DIR ${DRAVEX_DIVSUFSORT_SOURCE}
  BINARY_DIR ${DRAVEX_DIVSUFSORT_MINGW}/build
  INSTALL_DIR ${DRAVEX_DIVSUFSORT_MINGW}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-x86_64-w64-mingw32-posix.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_EXAMPLES=OFF
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
  BUILD_BYPRODUCTS ${DRAVEX_DIVSUFSORT_MINGW}/lib/libdivsufsort.a)

set(DRAVEX_QVX_EXE_PATH ${CMAKE_BINARY_DIR}/qvx.exe)
ExternalProject_Add(dravex_qvx_exe
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/qvx-windows
  BINARY_DIR ${CMAKE_BINARY_DIR}/qvx-windows
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-x86_64-w64-mingw32-posix.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DDRAVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DDRAVEX_OUTPUT_DIR=${CMAKE_BINARY_DIR}
    -DDRAVEX_GENERATED_DIR=${CMAKE_BINARY_DIR}/generated
    -DDRAVEX_EMBEDDED_STUB_SOURCE=${DRAVEX_EMBEDDED_STUB_SOURCE}
    -DDRAVEX_DIVSUFSORT_PREFIX=${DRAVEX_DIVSUFSORT_MINGW}
    -DDRAVEX_CLI11_INCLUDE=${DRAVEX_CLI11_INCLUDE}
    -DDRAVEX_JSON_INCLUDE=${DRAVEX_JSON_INCLUDE}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${DRAVEX_QVX_EXE_PATH}
  DEPENDS dravex_divsufsort_mingw64 ${DRAVEX_EMBEDDED_STUB_TARGET})
