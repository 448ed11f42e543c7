// Simulation helpers shared by the posix file seams: Windows paths to host paths, and
// POSIX errno values to the Windows runtime's errno and to Win32 error codes.
#pragma once

#include <cstdint>
#include <string>

namespace quor::platform::sim {

// The UTF-16 Windows path as a host path under the simulated machine's folder.
std::string HostPathOf(const char16_t* windowsPath);
// The same path in UTF-8, unmapped.
std::string Utf8Of(const char16_t* windowsPath);
int ToCrtErrno(int posixErrno);
std::uint32_t ToWinError(int posixErrno);

}  // namespace quor::platform::sim
