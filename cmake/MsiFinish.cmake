# Finishes the installer that wixl built, with msitools' msibuild, where wixl has no words:
#  - the log folder's access rights: a MsiLockPermissionsEx row (Windows Installer 5.0, hence
#    the package's schema 500) for the CreateFolder of QUORLOGDIR: SYSTEM and Administrators
#    full control, Users modify, inherited by the files in it, so that every user's instance
#    can write and rotate the one log;
#  - the driver's service type SERVICE_KERNEL_DRIVER (1) (wixl's ServiceInstall takes only
#    ownProcess / shareProcess);
#  - the event source's key removed with its values on uninstall (a Registry row named "*");
#  - the summary information: for ARM64 the template Arm64;1033 (wixl knows only x86/x64, and
#    Windows installs an ARM64 package only when its template names Arm64; the components are
#    64-bit already), and the package code the build derived.
#
#   cmake -DMSI=<file> -DMSIBUILD=<msibuild> -DARCH=x64|arm64 -DSUBJECT=<text>
#         -DPACKAGE_CODE=<{uuid}> -P MsiFinish.cmake
cmake_minimum_required(VERSION 3.25)

set(event_source_key "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QUOR Error Reporting")
# Modify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE (0x1301bf).
set(log_sddl "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)")
# One msibuild call per change; the two arguments never hold a ";" (ARGN would split there).
function(msibuild option value)
  execute_process(COMMAND "${MSIBUILD}" "${MSI}" ${option} "${value}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR err MATCHES "[Ee]rror|fail|WARN")
    message(FATAL_ERROR "MsiFinish: msibuild ${MSI} failed (${rc}): ${out}${err}")
  endif()
endfunction()
msibuild(-q "UPDATE `ServiceInstall` SET `ServiceType` = 1 WHERE `ServiceInstall` = 'procwarden'")
msibuild(-q "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('EventSourceKey', 2, '${event_source_key}', '*', 'ShareManager')")
# The table comes in as an .idt file: msibuild splits queries at ";", and the SDDL holds some.
get_filename_component(msi_dir "${MSI}" DIRECTORY)
set(idt "${msi_dir}/MsiLockPermissionsEx.idt")
file(WRITE "${idt}"
  "MsiLockPermissionsEx\tLockObject\tTable\tSDDL\tCondition\r\n"
  "s72\ts72\ts32\ts0\tS255\r\n"
  "MsiLockPermissionsEx\tMsiLockPermissionsEx\r\n"
  "LogFolderAccess\tQUORLOGDIR\tCreateFolder\t${log_sddl}\t\r\n")
msibuild(-i "${idt}")
# The summary information: subject, author, template (platform;language) and the package code
# (wixl draws a random one).
if(ARCH STREQUAL "arm64")
  set(template "Arm64;1033")
else()
  set(template "x64;1033")
endif()
execute_process(COMMAND "${MSIBUILD}" "${MSI}" -s "${SUBJECT}" "QUOR" "${template}" "${PACKAGE_CODE}"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR err)
  message(FATAL_ERROR "MsiFinish: msibuild -s ${MSI} failed (${rc}): ${err}")
endif()
