# The stand-in virtio devices for running the program under Wine (x64, and arm64 in the
# arm64 root). Built like procwarden.sys (cmake/ProcwardenSys.cmake) without signing; its
# import libraries come from ntoskrnl.def and ws2_32.def, and CheckImports.cmake guards
# the result. STANDIN_PREFIX is the Wine prefix of the devices; STANDIN_PREFIX_SCRIPT
# (devices-prefix.sh) starts and stops it.
set(_sb_src "${CMAKE_CURRENT_LIST_DIR}")
set(_sb_bin "${CMAKE_CURRENT_BINARY_DIR}/standin")
file(MAKE_DIRECTORY "${_sb_bin}")

execute_process(COMMAND "${QUOR_ZIG}" env OUTPUT_VARIABLE _sb_zig_env)
string(JSON _sb_zig_lib GET "${_sb_zig_env}" lib_dir)
if(DEFINED ENV{ZIG_GLOBAL_CACHE_DIR})
  set(_sb_zig_cache "$ENV{ZIG_GLOBAL_CACHE_DIR}")
else()
  set(_sb_zig_cache "$ENV{HOME}/.cache/quor-toolchain/zig-cache")
endif()
set(_sb_zig "${CMAKE_COMMAND}" -E env "ZIG_GLOBAL_CACHE_DIR=${_sb_zig_cache}" "${QUOR_ZIG}")
find_program(STANDIN_OBJDUMP NAMES llvm-objdump-16 llvm-objdump-14 llvm-objdump REQUIRED)

# ARM64 takes the DDK headers that procwarden's build patched for it.
if(QUOR_WIN_ARCH STREQUAL "arm64")
  set(_sb_arch_flags -target aarch64-windows-gnu -isystem "${CMAKE_BINARY_DIR}/procwarden/ddk-arm64")
  set(_sb_machine arm64)
  set(_sb_dlltool arm64)
  set(_sb_arch_deps procwarden_sys)
else()
  set(_sb_arch_flags -target x86_64-windows-gnu -mno-red-zone)
  set(_sb_machine x64)
  set(_sb_dlltool i386:x86-64)
  set(_sb_arch_deps "")
endif()
set(_sb_flags
  ${_sb_arch_flags} -std=c++20 -O2 -ffreestanding -fno-exceptions -fno-rtti
  -fno-threadsafe-statics -fno-stack-protector -fno-lto -mno-stack-arg-probe
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
  -DNTDDI_VERSION=0x0A000000 -D_WIN32_WINNT=0x0A00 -Wall -Wextra
  -isystem "${_sb_zig_lib}/libc/include/any-windows-any/ddk" -I "${PROJECT_SOURCE_DIR}")
if(QUOR_WERROR)
  list(APPEND _sb_flags -Werror)
endif()
set(_sb_headers "${_sb_src}/standin.h" "${_sb_src}/net.h")

set(_sb_objects "")
foreach(_sb_name irp_queue serial fs driver)
  set(_sb_object "${_sb_bin}/${_sb_name}.obj")
  add_custom_command(
    OUTPUT "${_sb_object}"
    COMMAND ${_sb_zig} c++ ${_sb_flags} -c "${_sb_src}/${_sb_name}.cpp" -o "${_sb_object}"
    DEPENDS "${_sb_src}/${_sb_name}.cpp" ${_sb_headers} ${_sb_arch_deps}
    COMMENT "quorstandin: ${_sb_name}.cpp"
    VERBATIM)
  list(APPEND _sb_objects "${_sb_object}")
endforeach()

set(_sb_libs "")
foreach(_sb_dll ntoskrnl ws2_32)
  add_custom_command(
    OUTPUT "${_sb_bin}/${_sb_dll}.lib"
    COMMAND ${_sb_zig} dlltool -m ${_sb_dlltool} -d "${_sb_src}/${_sb_dll}.def" -l "${_sb_bin}/${_sb_dll}.lib"
    DEPENDS "${_sb_src}/${_sb_dll}.def"
    COMMENT "quorstandin: ${_sb_dll} import library"
    VERBATIM)
  list(APPEND _sb_libs "${_sb_bin}/${_sb_dll}.lib")
endforeach()

set(STANDIN_SYS "${_sb_bin}/quorstandin.sys")
add_custom_command(
  OUTPUT "${STANDIN_SYS}"
  COMMAND ${_sb_zig} lld-link /driver:wdm /subsystem:native /entry:DriverEntry /machine:${_sb_machine} /nodefaultlib
          /base:0x140000000 /filealign:0x200 /dynamicbase /nxcompat /release "/out:${STANDIN_SYS}"
          ${_sb_objects} ${_sb_libs}
  DEPENDS ${_sb_objects} ${_sb_libs}
  COMMENT "quorstandin: link quorstandin.sys"
  VERBATIM)
add_custom_command(
  OUTPUT "${_sb_bin}/imports.stamp"
  COMMAND "${CMAKE_COMMAND}" "-DSYS=${STANDIN_SYS}" "-DOBJDUMP=${STANDIN_OBJDUMP}"
          "-DSTAMP=${_sb_bin}/imports.stamp" -P "${_sb_src}/CheckImports.cmake"
  DEPENDS "${STANDIN_SYS}" "${_sb_src}/CheckImports.cmake"
  COMMENT "quorstandin: import check"
  VERBATIM)
add_custom_target(quorstandin_sys ALL DEPENDS "${STANDIN_SYS}" "${_sb_bin}/imports.stamp")

# TCP ports on 127.0.0.1: three in a row from a base that depends on the build tree, so two
# build trees on one machine do not share them.
string(MD5 _sb_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_sb_hash}" 0 4 _sb_hash)
math(EXPR STANDIN_PORT_BASE "20000 + (0x${_sb_hash} % 4000) * 4")
math(EXPR STANDIN_PORT_SERIAL3 "${STANDIN_PORT_BASE}")
math(EXPR STANDIN_PORT_SERIAL4 "${STANDIN_PORT_BASE} + 1")
math(EXPR STANDIN_PORT_FS "${STANDIN_PORT_BASE} + 2")

# HardwareID "ROOT\QUORSTANDIN" as REG_MULTI_SZ (UTF-16LE, two NULs at the end).
set(_sb_hwid "")
foreach(_sb_char R O O T \\ Q U O R S T A N D I N)
  string(HEX "${_sb_char}" _sb_hex)
  string(APPEND _sb_hwid "${_sb_hex},00,")
endforeach()
string(APPEND _sb_hwid "00,00,00,00")
set(STANDIN_DEVICES "")
set(_sb_instance 0)
foreach(_sb_device "0;3;${STANDIN_PORT_SERIAL3}" "0;4;${STANDIN_PORT_SERIAL4}" "1;0;${STANDIN_PORT_FS}")
  list(GET _sb_device 0 _sb_kind)
  list(GET _sb_device 1 _sb_index)
  list(GET _sb_device 2 _sb_port)
  set(_sb_key "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\QUORSTANDIN\\000${_sb_instance}")
  math(EXPR _sb_port_hex "${_sb_port}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${_sb_port_hex}" 2 -1 _sb_port_hex)
  string(APPEND STANDIN_DEVICES
    "[${_sb_key}]\n\"HardwareID\"=hex(7):${_sb_hwid}\n\"Service\"=\"quorstandin\"\n"
    "\"Class\"=\"System\"\n\"ClassGUID\"=\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"\n\"ConfigFlags\"=dword:00000000\n\n"
    "[${_sb_key}\\Device Parameters]\n\"Kind\"=dword:0000000${_sb_kind}\n\"HostIndex\"=dword:0000000${_sb_index}\n"
    "\"TcpPort\"=dword:0000${_sb_port_hex}\n\n")
  math(EXPR _sb_instance "${_sb_instance} + 1")
endforeach()
string(REPLACE "/" "\\\\" STANDIN_IMAGE_PATH "Z:${STANDIN_SYS}")
set(STANDIN_REG "${_sb_bin}/quorstandin.reg")
configure_file("${_sb_src}/standin.reg.in" "${STANDIN_REG}" @ONLY)
set(STANDIN_PREFIX "${CMAKE_BINARY_DIR}/wineprefix-devices")
set(STANDIN_PREFIX_SCRIPT "${_sb_bin}/devices-prefix.sh")
set(STANDIN_IN_ROOT "")
if(QUOR_WIN_ARCH STREQUAL "arm64")
  set(STANDIN_IN_ROOT "${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
configure_file("${_sb_src}/devices-prefix.sh.in" "${STANDIN_PREFIX_SCRIPT}" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
