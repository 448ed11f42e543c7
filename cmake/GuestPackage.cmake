# The guest package of a Windows build, installed beside the preset's folder (dist/):
#   quor-guest-tools-<version>-win-<arch>.msi  the installer (packaging/windows/quor-guest-tools.wxs)
#   quor-guest-tools-<version>-win-<arch>.zip  the same files for installing by hand, with the
#                                              driver's INF and the install text
# and in dist/<preset>/ the shipped programs with their debug files.
#
# Each shipped program carries a version resource and the application manifest (quorsharemgr.exe
# also the event source's message table), has its debug information in a separate <name>.pdb
# and the driver's test Authenticode signature; the installer is signed the same way.
if(NOT TARGET quorsharemgr OR NOT TARGET quorstart)
  return()
endif()

find_program(QUOR_WINDRES NAMES llvm-windres-16 llvm-windres REQUIRED)
find_program(QUOR_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
find_program(QUOR_OBJCOPY NAMES llvm-objcopy-16 llvm-objcopy REQUIRED)
find_program(QUOR_WIXL NAMES wixl REQUIRED)
find_program(QUOR_MSIBUILD NAMES msibuild REQUIRED)
find_program(QUOR_OSSLSIGNCODE NAMES osslsigncode REQUIRED)

set(_pkg_src "${PROJECT_SOURCE_DIR}/packaging/windows")
set(_pkg_dir "${CMAKE_BINARY_DIR}/package")
if(QUOR_WIN_ARCH STREQUAL "arm64")
  set(_pkg_rc_target aarch64-w64-mingw32)
else()
  set(_pkg_rc_target x86_64-w64-mingw32)
endif()

# The event source's message table (one binary per language, here English).
set(_pkg_mc_dir "${_pkg_dir}/messages")
add_custom_command(
  OUTPUT "${_pkg_mc_dir}/MSG00409.bin"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_pkg_mc_dir}"
  COMMAND "${QUOR_WINDMC}" -h "${_pkg_mc_dir}" -r "${_pkg_mc_dir}" "${_pkg_src}/messages.mc"
  DEPENDS "${_pkg_src}/messages.mc"
  COMMENT "package: event message table"
  VERBATIM)

# Resources of one program, compiled to an object linked into it.
set(RC_VERSION "${PROJECT_VERSION}")
set(RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(RC_MANIFEST "${_pkg_src}/app.manifest")
function(_pkg_resources target description extra_note extra extra_depends)
  set(RC_NAME "${target}")
  set(RC_FILE "${target}.exe")
  set(RC_DESCRIPTION "${description}")
  set(RC_EXTRA_NOTE "${extra_note}")
  set(RC_EXTRA "${extra}")
  set(rc "${_pkg_dir}/${target}.rc")
  set(obj "${_pkg_dir}/${target}-resources.obj")
  configure_file("${_pkg_src}/exe.rc.in" "${rc}" @ONLY)
  add_custom_command(
    OUTPUT "${obj}"
    COMMAND "${QUOR_WINDRES}" --no-preprocess "--target=${_pkg_rc_target}" -i "${rc}" -o "${obj}"
    DEPENDS "${rc}" "${RC_MANIFEST}" ${extra_depends}
    COMMENT "package: resources of ${target}.exe"
    VERBATIM)
  add_custom_target(${target}_resources DEPENDS "${obj}")
  add_dependencies(${target} ${target}_resources)
  target_link_options(${target} PRIVATE "${obj}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${obj}")
endfunction()
_pkg_resources(quorsharemgr "QUOR share manager (clipboard and file sharing)" ", message table"
  "// RT_MESSAGETABLE (11): the messages of the \"QUOR Error Reporting\" event source\n1 11 \"${_pkg_mc_dir}/MSG00409.bin\""
  "${_pkg_mc_dir}/MSG00409.bin")
_pkg_resources(quorstart "QUOR share manager launcher (starts it without a window at logon)" "" "" "")

get_property(_pkg_driver GLOBAL PROPERTY QUOR_PROCWARDEN_FILES)
get_property(_pkg_sign GLOBAL PROPERTY QUOR_TESTSIGN_FILES)
if(NOT TARGET procwarden_sys OR NOT _pkg_driver OR NOT _pkg_sign)
  return()
endif()
list(GET _pkg_sign 0 _pkg_key)
list(GET _pkg_sign 1 _pkg_cert)
set(_pkg_sign_cmd "${QUOR_OSSLSIGNCODE}" sign -certs "${_pkg_cert}" -key "${_pkg_key}" -h sha256
    -n "QUOR guest tools")

# The shipped programs: the linker leaves their debug information in <name>.pdb beside them,
# which the image's CodeView record names; the image loses the few DWARF sections of the C
# runtime's start-up objects and is signed; the PDB is shipped beside it in dist/<preset>/.
set(_pkg_ship "${_pkg_dir}/ship")
set(_pkg_shipped "")
foreach(_pkg_target quorsharemgr quorstart)
  set(_exe "${_pkg_ship}/${_pkg_target}.exe")
  set(_pdb "${_pkg_ship}/${_pkg_target}.pdb")
  set(_bare "${_pkg_ship}/${_pkg_target}-unsigned.exe")
  add_custom_command(
    OUTPUT "${_exe}" "${_pdb}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${_pkg_ship}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${_exe}" "${_pdb}" "${_bare}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE_DIR:${_pkg_target}>/${_pkg_target}.pdb" "${_pdb}"
    COMMAND "${QUOR_OBJCOPY}" --strip-debug "$<TARGET_FILE:${_pkg_target}>" "${_bare}"
    COMMAND ${_pkg_sign_cmd} -in "${_bare}" -out "${_exe}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${_bare}"
    DEPENDS ${_pkg_target} "$<TARGET_FILE:${_pkg_target}>" quor_testsign_cert "${_pkg_cert}" "${_pkg_key}"
    COMMENT "package: ${_pkg_target}.exe signed, its PDB beside it"
    VERBATIM)
  list(APPEND _pkg_shipped "${_exe}")
  install(FILES "${_exe}" "${_pdb}" DESTINATION .)
endforeach()
list(GET _pkg_shipped 0 _pkg_program)

# The zip for installing by hand.
set(_pkg_name "quor-guest-tools-${PROJECT_VERSION}-win-${QUOR_WIN_ARCH}")
set(_pkg_zip "${_pkg_dir}/${_pkg_name}.zip")
set(_pkg_text "${PROJECT_SOURCE_DIR}/docs/INSTALL.txt")
add_custom_command(
  OUTPUT "${_pkg_zip}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_pkg_dir}/${_pkg_name}" "${_pkg_zip}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_pkg_dir}/${_pkg_name}"
  COMMAND "${CMAKE_COMMAND}" -E copy "${_pkg_program}" ${_pkg_driver} "${_pkg_text}"
          "${_pkg_dir}/${_pkg_name}/"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${_pkg_dir}" "${CMAKE_COMMAND}" -E tar cf "${_pkg_zip}" --format=zip
          "${_pkg_name}"
  DEPENDS "${_pkg_program}" procwarden_sys ${_pkg_driver} "${_pkg_text}"
  COMMENT "package: ${_pkg_name}.zip"
  VERBATIM)

# The installer. The product code is new with every version and the package code with every
# version and architecture; both are name-based UUIDs of the fixed upgrade code, so that a
# rebuild of the same sources gives the same codes.
set(_pkg_upgrade_code 38E53460-41F9-4986-9094-0277FFD19618)
string(UUID _pkg_product_code NAMESPACE ${_pkg_upgrade_code} NAME "product ${PROJECT_VERSION} ${QUOR_WIN_ARCH}"
       TYPE SHA1 UPPER)
string(UUID _pkg_package_code NAMESPACE ${_pkg_upgrade_code} NAME "package ${PROJECT_VERSION} ${QUOR_WIN_ARCH}"
       TYPE SHA1 UPPER)
set(_pkg_msi_stage "${_pkg_dir}/msi")
set(_pkg_msi_bare "${_pkg_msi_stage}/unsigned.msi")
set(_pkg_msi "${_pkg_dir}/${_pkg_name}.msi")
set(_pkg_driver_files "")
foreach(_f IN LISTS _pkg_driver)
  if(_f MATCHES "\\.(sys|cer)$")
    list(APPEND _pkg_driver_files "${_f}")
  endif()
endforeach()
add_custom_command(
  OUTPUT "${_pkg_msi}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_pkg_msi_stage}" "${_pkg_msi}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_pkg_msi_stage}"
  COMMAND "${CMAKE_COMMAND}" -E copy ${_pkg_shipped} ${_pkg_driver_files} "${_pkg_src}/quor-guest-tools.wxs"
          "${_pkg_msi_stage}/"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${_pkg_msi_stage}"
          "${QUOR_WIXL}" -a x64 -D "Version=${PROJECT_VERSION}" -D "Arch=${QUOR_WIN_ARCH}"
          -D "ProductCode={${_pkg_product_code}}" -D "PackageCode={${_pkg_package_code}}"
          -o "${_pkg_msi_bare}" quor-guest-tools.wxs
  COMMAND "${CMAKE_COMMAND}" "-DMSI=${_pkg_msi_bare}" "-DMSIBUILD=${QUOR_MSIBUILD}" "-DARCH=${QUOR_WIN_ARCH}"
          "-DSUBJECT=QUOR guest tools ${PROJECT_VERSION} (${QUOR_WIN_ARCH})" "-DPACKAGE_CODE={${_pkg_package_code}}"
          -P "${PROJECT_SOURCE_DIR}/cmake/MsiFinish.cmake"
  COMMAND ${_pkg_sign_cmd} -in "${_pkg_msi_bare}" -out "${_pkg_msi}"
  DEPENDS ${_pkg_shipped} procwarden_sys ${_pkg_driver_files} "${_pkg_src}/quor-guest-tools.wxs"
          "${PROJECT_SOURCE_DIR}/cmake/MsiFinish.cmake" quor_testsign_cert "${_pkg_cert}" "${_pkg_key}"
  COMMENT "package: ${_pkg_name}.msi"
  VERBATIM)
add_custom_target(guest_package ALL DEPENDS "${_pkg_zip}" "${_pkg_msi}")
install(FILES "${_pkg_zip}" "${_pkg_msi}" DESTINATION ..)
