# procwarden.sys for the Windows presets (included from procwarden/CMakeLists.txt).
#
# The project's C++ toolchain targets user mode (libc++, CRT), so the driver is compiled and
# linked in custom steps with zig's clang and lld-link:
#   1. ARM64-capable copies of the DDK headers wdm.h / ntddk.h (procwarden/ddk/PatchDdk.cmake);
#   2. the layout probe compiled for x64 and ARM64 and compared (procwarden/check/LayoutCompare.cmake)
#      - the link depends on it, so a wrong structure layout never produces a driver;
#   3. the driver sources compiled freestanding for the preset's architecture;
#   4. ntoskrnl import library from procwarden/ntoskrnl.def (the import whitelist);
#   5. lld-link (native subsystem, DriverEntry as entry, FORCE_INTEGRITY, checksum);
#   6. an embedded Authenticode test signature (osslsigncode) with a test certificate that
#      openssl makes once per build tree; its key stays in the build tree, only the
#      certificate (procwarden-test.cer) is installed with the driver;
#   7. procwarden/check/CheckSys.cmake on the signed image (machine, subsystem, imports,
#      checksum, layout, characteristics, signature).

set(_pw_src "${PROJECT_SOURCE_DIR}/procwarden")
set(_pw_bin "${CMAKE_CURRENT_BINARY_DIR}")

if(NOT QUOR_ZIG)
  message(FATAL_ERROR "procwarden: QUOR_ZIG is not set")
endif()
execute_process(COMMAND "${QUOR_ZIG}" env OUTPUT_VARIABLE _pw_zig_env RESULT_VARIABLE _pw_rc)
if(NOT _pw_rc EQUAL 0)
  message(FATAL_ERROR "procwarden: '${QUOR_ZIG} env' failed")
endif()
string(JSON _pw_zig_lib GET "${_pw_zig_env}" lib_dir)
set(_pw_ddk "${_pw_zig_lib}/libc/include/any-windows-any/ddk")
if(NOT EXISTS "${_pw_ddk}/ntifs.h")
  message(FATAL_ERROR "procwarden: DDK headers not found in ${_pw_ddk}")
endif()

if(DEFINED ENV{ZIG_GLOBAL_CACHE_DIR})
  set(_pw_zig_cache "$ENV{ZIG_GLOBAL_CACHE_DIR}")
else()
  set(_pw_zig_cache "$ENV{HOME}/.cache/quor-toolchain/zig-cache")
endif()
set(_pw_zig "${CMAKE_COMMAND}" -E env "ZIG_GLOBAL_CACHE_DIR=${_pw_zig_cache}" "${QUOR_ZIG}")

find_program(PROCWARDEN_OBJDUMP NAMES llvm-objdump-16 llvm-objdump-14 llvm-objdump REQUIRED)
find_program(PROCWARDEN_FILE NAMES file REQUIRED)
find_program(PROCWARDEN_OPENSSL NAMES openssl REQUIRED)
find_program(PROCWARDEN_OSSLSIGNCODE NAMES osslsigncode REQUIRED)

set(_pw_flags
  -std=c++20 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-lto
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
  -DNTDDI_VERSION=0x0A000000 -D_WIN32_WINNT=0x0A00
  -Wall -Wextra)
if(QUOR_WERROR)
  list(APPEND _pw_flags -Werror)
endif()

# Per architecture: triple, extra flags, header folders, lld machine, dlltool machine.
set(_pw_arm64_ddk "${_pw_bin}/ddk-arm64")
set(_pw_x64_triple x86_64-windows-gnu)
set(_pw_x64_flags -mno-red-zone -isystem "${_pw_ddk}")
set(_pw_x64_machine x64)
set(_pw_x64_dlltool i386:x86-64)
set(_pw_arm64_triple aarch64-windows-gnu)
set(_pw_arm64_flags -isystem "${_pw_arm64_ddk}" -isystem "${_pw_ddk}")
set(_pw_arm64_machine arm64)
set(_pw_arm64_dlltool arm64)

set(_pw_patched_headers "${_pw_arm64_ddk}/wdm.h" "${_pw_arm64_ddk}/ntddk.h")
add_custom_command(
  OUTPUT ${_pw_patched_headers}
  COMMAND "${CMAKE_COMMAND}" "-DDDK_DIR=${_pw_ddk}" "-DOUT_DIR=${_pw_arm64_ddk}"
          -P "${_pw_src}/ddk/PatchDdk.cmake"
  DEPENDS "${_pw_src}/ddk/PatchDdk.cmake" "${_pw_ddk}/wdm.h" "${_pw_ddk}/ntddk.h"
  COMMENT "procwarden: ARM64 DDK headers"
  VERBATIM)

# Compiles one file for one architecture.
function(_pw_compile arch source object)
  add_custom_command(
    OUTPUT "${object}"
    COMMAND ${_pw_zig} c++ -target ${_pw_${arch}_triple} ${_pw_flags} ${_pw_${arch}_flags}
            -I "${PROJECT_SOURCE_DIR}" -c "${source}" -o "${object}"
    DEPENDS "${source}" ${PROCWARDEN_HEADERS} ${_pw_patched_headers}
    COMMENT "procwarden (${arch}): ${source}"
    VERBATIM)
endfunction()

# Layout cross-check: both architectures, whatever this preset builds.
_pw_compile(x64 "${_pw_src}/ddk/LayoutProbe.cpp" "${_pw_bin}/layout-x64.obj")
_pw_compile(arm64 "${_pw_src}/ddk/LayoutProbe.cpp" "${_pw_bin}/layout-arm64.obj")
set(_pw_layout_stamp "${_pw_bin}/layout-check.stamp")
add_custom_command(
  OUTPUT "${_pw_layout_stamp}"
  COMMAND "${CMAKE_COMMAND}" "-DPROBE_SOURCE=${_pw_src}/ddk/LayoutProbe.cpp"
          "-DX64_OBJECT=${_pw_bin}/layout-x64.obj" "-DARM64_OBJECT=${_pw_bin}/layout-arm64.obj"
          "-DSTAMP=${_pw_layout_stamp}" -P "${_pw_src}/check/LayoutCompare.cmake"
  DEPENDS "${_pw_bin}/layout-x64.obj" "${_pw_bin}/layout-arm64.obj"
          "${_pw_src}/check/LayoutCompare.cmake" "${_pw_src}/check/PeRead.cmake"
  COMMENT "procwarden: x64 / ARM64 structure layout cross-check"
  VERBATIM)

# The driver for this preset's architecture.
set(_pw_arch ${QUOR_WIN_ARCH})
set(_pw_objects "")
foreach(_pw_source IN LISTS PROCWARDEN_SOURCES)
  get_filename_component(_pw_name "${_pw_source}" NAME_WE)
  set(_pw_object "${_pw_bin}/${_pw_name}-${_pw_arch}.obj")
  _pw_compile(${_pw_arch} "${_pw_source}" "${_pw_object}")
  list(APPEND _pw_objects "${_pw_object}")
endforeach()

set(_pw_import_lib "${_pw_bin}/ntoskrnl-${_pw_arch}.lib")
add_custom_command(
  OUTPUT "${_pw_import_lib}"
  COMMAND ${_pw_zig} dlltool -m ${_pw_${_pw_arch}_dlltool} -d "${_pw_src}/ntoskrnl.def" -l "${_pw_import_lib}"
  DEPENDS "${_pw_src}/ntoskrnl.def"
  COMMENT "procwarden: ntoskrnl import library (${_pw_arch})"
  VERBATIM)

set(_pw_unsigned "${_pw_bin}/procwarden-unsigned.sys")
set(_pw_sys "${_pw_bin}/procwarden.sys")
add_custom_command(
  OUTPUT "${_pw_unsigned}"
  COMMAND ${_pw_zig} lld-link /driver:wdm /subsystem:native /entry:DriverEntry
          /machine:${_pw_${_pw_arch}_machine} /nodefaultlib /base:0x140000000 /filealign:0x200
          /dynamicbase /nxcompat /integritycheck /release "/out:${_pw_unsigned}"
          ${_pw_objects} "${_pw_import_lib}"
  DEPENDS ${_pw_objects} "${_pw_import_lib}" "${_pw_layout_stamp}"
  COMMENT "procwarden: link procwarden.sys (${_pw_arch})"
  VERBATIM)

# Test-signing certificate: made once per build tree, never part of the sources.
set(_pw_cert_key "${_pw_bin}/testsign/procwarden-test.key")
set(_pw_cert_pem "${_pw_bin}/testsign/procwarden-test.pem")
set(_pw_cert_cer "${_pw_bin}/testsign/procwarden-test.cer")
add_custom_command(
  OUTPUT "${_pw_cert_key}" "${_pw_cert_pem}" "${_pw_cert_cer}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_pw_bin}/testsign"
  COMMAND "${PROCWARDEN_OPENSSL}" req -quiet -x509 -newkey rsa:3072 -sha256 -nodes -days 730
          -subj "/CN=procwarden test signing (not trusted)"
          -addext "keyUsage=critical,digitalSignature"
          -addext "extendedKeyUsage=codeSigning"
          -addext "basicConstraints=critical,CA:FALSE"
          -keyout "${_pw_cert_key}" -out "${_pw_cert_pem}"
  COMMAND "${PROCWARDEN_OPENSSL}" x509 -in "${_pw_cert_pem}" -outform DER -out "${_pw_cert_cer}"
  COMMENT "procwarden: test-signing certificate"
  VERBATIM)

# The programs and the installer of the guest package are signed with the same certificate.
add_custom_target(quor_testsign_cert DEPENDS "${_pw_cert_key}" "${_pw_cert_pem}" "${_pw_cert_cer}")
set_property(GLOBAL PROPERTY QUOR_TESTSIGN_FILES "${_pw_cert_key}" "${_pw_cert_pem}")

add_custom_command(
  OUTPUT "${_pw_sys}"
  COMMAND "${CMAKE_COMMAND}" -E rm -f "${_pw_sys}"
  COMMAND "${PROCWARDEN_OSSLSIGNCODE}" sign -certs "${_pw_cert_pem}" -key "${_pw_cert_key}" -h sha256
          -n procwarden -in "${_pw_unsigned}" -out "${_pw_sys}"
  DEPENDS "${_pw_unsigned}" "${_pw_cert_key}" "${_pw_cert_pem}"
  COMMENT "procwarden: test-sign procwarden.sys (${_pw_arch})"
  VERBATIM)

set(_pw_sys_stamp "${_pw_bin}/procwarden-sys-check.stamp")
add_custom_command(
  OUTPUT "${_pw_sys_stamp}"
  COMMAND "${CMAKE_COMMAND}" "-DSYS=${_pw_sys}" "-DMACHINE=${_pw_arch}" "-DDEF=${_pw_src}/ntoskrnl.def"
          "-DOBJDUMP=${PROCWARDEN_OBJDUMP}" "-DFILE_TOOL=${PROCWARDEN_FILE}" "-DSTAMP=${_pw_sys_stamp}"
          "-DOBJECTS=${_pw_objects}" "-DOSSLSIGNCODE=${PROCWARDEN_OSSLSIGNCODE}" "-DCA_FILE=${_pw_cert_pem}"
          -P "${_pw_src}/check/CheckSys.cmake"
  DEPENDS "${_pw_sys}" "${_pw_src}/check/CheckSys.cmake" "${_pw_src}/check/PeRead.cmake"
  COMMENT "procwarden: check procwarden.sys (${_pw_arch})"
  VERBATIM)

add_custom_target(procwarden_sys ALL DEPENDS "${_pw_sys}" "${_pw_sys_stamp}" "${_pw_layout_stamp}")

install(FILES "${_pw_sys}" "${_pw_src}/procwarden.inf" "${_pw_cert_cer}" DESTINATION .)
# The guest package takes the same three files.
set_property(GLOBAL PROPERTY QUOR_PROCWARDEN_FILES "${_pw_sys}" "${_pw_src}/procwarden.inf" "${_pw_cert_cer}")
