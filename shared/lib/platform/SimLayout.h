// The simulated machine's layout on the Linux host, for the simulation's seams, the host
// peer in tools/ and tests (posix builds only; docs/simulation.md is the contract):
//   $QUOR_SIM_DIR (default /tmp/quor-sim)  the machine's folder
//   drive X:                               drives/X
//   \\server\share\...                     unc/server/share/...
//   virtio-serial port with host index N   vport<N>   (a Unix stream socket)
//   the virtio-fs device                   viofs      (a Unix stream socket)
//   the desktop's control socket           desktop    (a Unix stream socket)
//   the named pipe \\.\pipe\<name>         pipe/<name> (the pipe server's Unix stream socket)
#pragma once

#include <cstdint>
#include <string>

namespace quor::platform {

std::string SimDir();
// Maps a Windows path to a host path. Relative paths keep their place (separators
// become "/"); a path that is already a host absolute path ("/...") is kept.
std::string ToHostPath(const std::string& windowsPath);
// Creates the simulated machine's folder for a drive or UNC root when it is missing.
bool EnsureSimRoot(const std::string& windowsPath);
// The socket where a host peer reaches the port with host index `hostIndex`.
std::string SerialPortSocket(std::uint32_t hostIndex);
// The socket where the host's virtio-fs back end listens.
std::string VirtioFsSocket();
// The socket where other applications of the guest reach the simulated desktop.
std::string DesktopSocket();
// The socket where the server of the named pipe \\.\pipe\<name> listens.
std::string PipeSocket(const std::string& name);

}  // namespace quor::platform
