// Platform seam: the process itself — its wide-character command line and its shutdown
// order among the desktop's applications.
// win32: GetCommandLineW + CommandLineToArgvW (the toolchain has no wmain), LocalFree;
// SetProcessShutdownParameters.
// posix: the arguments of main taken as UTF-8; the shutdown parameters are recorded for
// tests (docs/simulation.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quor::platform {

// The arguments after the program's name.
std::vector<std::u16string> CommandLineArguments(int argc, char** argv);
bool SetProcessShutdownParameters(std::uint32_t level, std::uint32_t flags);

}  // namespace quor::platform
