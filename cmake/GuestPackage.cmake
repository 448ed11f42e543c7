# The guest package of a Windows build: quor-guest-tools-<version>-win-<arch>.zip with the
# program, the driver with its INF and test certificate, and the install text; built with the
# rest and installed beside the preset's folder (dist/).
get_property(_pkg_driver GLOBAL PROPERTY QUOR_PROCWARDEN_FILES)
if(NOT TARGET quorsharemgr OR NOT TARGET procwarden_sys OR NOT _pkg_driver)
  return()
endif()
set(_pkg_name "quor-guest-tools-${PROJECT_VERSION}-win-${QUOR_WIN_ARCH}")
set(_pkg_dir "${CMAKE_BINARY_DIR}/package")
set(_pkg_zip "${_pkg_dir}/${_pkg_name}.zip")
set(_pkg_text "${PROJECT_SOURCE_DIR}/docs/INSTALL.txt")
add_custom_command(
  OUTPUT "${_pkg_zip}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_pkg_dir}/${_pkg_name}" "${_pkg_zip}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_pkg_dir}/${_pkg_name}"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:quorsharemgr>" ${_pkg_driver} "${_pkg_text}"
          "${_pkg_dir}/${_pkg_name}/"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${_pkg_dir}" "${CMAKE_COMMAND}" -E tar cf "${_pkg_zip}" --format=zip
          "${_pkg_name}"
  DEPENDS quorsharemgr procwarden_sys ${_pkg_driver} "${_pkg_text}"
  COMMENT "package: ${_pkg_name}.zip"
  VERBATIM)
add_custom_target(guest_package ALL DEPENDS "${_pkg_zip}")
install(FILES "${_pkg_zip}" DESTINATION ..)
