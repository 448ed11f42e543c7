# Checks the stand-in driver's imports before Wine ever loads it:
#  - only ntoskrnl.exe and ws2_32.dll (a kernel32.dll or ntdll.dll import makes Wine call the
#    entry point as DllMain, and the load fails with c0000142);
#  - no routine that Wine 8 implements as a stub (it would fail or do nothing at run time).
#
#   cmake -DSYS=<file> -DOBJDUMP=<llvm-objdump> -DSTAMP=<file> -P CheckImports.cmake
cmake_minimum_required(VERSION 3.25)

set(allowed_dlls ntoskrnl.exe ws2_32.dll)
# Exported by Wine's ntoskrnl.exe but unimplemented there.
set(wine_stubs
  "^IoCsq" "^IoReportTargetDeviceChange" "^IoInvalidateDeviceState$" "^IoSetCompletionRoutineEx$"
  "^IoWMI" "^PoRegisterDeviceNotify$")

execute_process(COMMAND "${OBJDUMP}" -p "${SYS}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "CheckImports: llvm-objdump -p ${SYS} failed")
endif()

set(problems "")
set(count 0)
# The import table: a "DLL Name:" line, then "<hint> <name>" lines.
string(REGEX MATCH "DLL Name:.*" imports "${dump}")
string(REPLACE "\n" ";" lines "${imports}")
set(dll "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: *([^ \t]+)")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    if(NOT dll IN_LIST allowed_dlls)
      string(APPEND problems "\n  imports from ${dll}")
    endif()
  elseif(line MATCHES "^[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_]*)$")
    set(name "${CMAKE_MATCH_1}")
    math(EXPR count "${count} + 1")
    foreach(stub IN LISTS wine_stubs)
      if(dll STREQUAL "ntoskrnl.exe" AND name MATCHES "${stub}")
        string(APPEND problems "\n  ${name} is a stub in Wine")
      endif()
    endforeach()
  endif()
endforeach()
if(count EQUAL 0)
  string(APPEND problems "\n  no imports found")
endif()
if(problems)
  message(FATAL_ERROR "CheckImports: ${SYS}:${problems}")
endif()
file(WRITE "${STAMP}" "ok\n")
