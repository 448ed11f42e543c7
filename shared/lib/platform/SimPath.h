// Simulation only: where the simulated Windows machine keeps its state on the host.
//   $QUOR_SIM_DIR (default /tmp/quor-sim)
//   drive X:            -> $QUOR_SIM_DIR/drives/X
//   \\server\share\...  -> $QUOR_SIM_DIR/unc/server/share/...
#pragma once

#include <string>

namespace quor::platform {

std::string SimDir();
// Maps a Windows path to a host path. Relative paths keep their place (separators
// become "/"); a path that is already a host absolute path ("/...") is kept.
std::string ToHostPath(const std::string& windowsPath);
// Creates the simulated machine's folder for a drive or UNC root when it is missing.
bool EnsureSimRoot(const std::string& windowsPath);

}  // namespace quor::platform
