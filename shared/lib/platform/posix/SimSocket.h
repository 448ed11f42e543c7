// The simulation's Unix stream sockets (posix only): listening at a path of the machine's
// folder, and sending every byte.
#pragma once

#include <cstddef>
#include <string>

namespace quor::platform::sim {

// Makes the folder, binds and listens, and puts the socket at `path` (replacing a file left
// there) only once it takes connections; the listening descriptor, or -1.
int ListenUnixSocket(const std::string& path, int backlog);
// Sends all `length` bytes (no SIGPIPE); false when the peer has gone.
bool SendAllOn(int fd, const void* data, std::size_t length);

}  // namespace quor::platform::sim
