# Checks a built stub: executable format, GUI subsystem, and imports from
# kernel32, user32 and gdi32 only (the stub links no C runtime). Prints the
# size.
#   cmake -DSTUB=file.exe -DOBJDUMP=objdump -DFORMAT=pei-i386 -P check_stub.cmake
cmake_minimum_required(VERSION 3.20)
file(SIZE ${STUB} size)
message(STATUS "${STUB}: ${size} bytes")

execute_process(COMMAND ${OBJDUMP} -f -p ${STUB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${STUB}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}")
  message(FATAL_ERROR "${STUB} is not ${FORMAT}")
endif()
if(NOT dump MATCHES "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)")
  message(FATAL_ERROR "${STUB} is not a Windows GUI program")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
set(names "")
foreach(entry ${dlls})
  string(REGEX REPLACE "DLL Name: " "" name "${entry}")
  string(TOUPPER "${name}" name)
  list(APPEND names ${name})
  if(NOT name MATCHES "^(KERNEL32|USER32|GDI32)\\.DLL$")
    message(FATAL_ERROR "${STUB} imports from ${name}")
  endif()
endforeach()
if(NOT "KERNEL32.DLL" IN_LIST names OR NOT "USER32.DLL" IN_LIST names)
  message(FATAL_ERROR "${STUB}: unexpected import table: ${names}")
endif()
message(STATUS "imports from: ${names}")
