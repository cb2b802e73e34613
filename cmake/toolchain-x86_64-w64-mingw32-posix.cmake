# The x86-64 mingw-w64 toolchain with the compilers of the posix thread
# model (std::thread), for qvx.exe; the stub needs no threads.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-x86_64-w64-mingw32.cmake)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
