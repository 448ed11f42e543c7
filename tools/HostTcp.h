// The host peer's TCP transport: instead of the simulation's Unix sockets, a port's or the
// virtio-fs back end's connection can be a TCP connection on 127.0.0.1, as the stand-in
// devices of the Wine tests (tests/wine/standin) offer them.
//
// QUOR_HOST_TCP="<index>=<tcp port>,...,fs=<tcp port>" chooses it: HostPort::Connect(index)
// then connects to 127.0.0.1:<tcp port> (the stand-in's port listens there), and
// VirtioFsBackend::Start() listens on 127.0.0.1:<fs port> (the stand-in connects to it).
// Indexes and the back end it does not name keep their Unix sockets.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quorhost {

struct TcpMap {
    std::map<std::uint32_t, std::uint16_t> ports;  // host port index -> TCP port
    std::optional<std::uint16_t> fs;               // the virtio-fs back end's TCP port

    // Parses the variable's syntax; false (and `map` untouched) when anything is malformed:
    // an empty item, a missing '=', a name other than a decimal index or "fs", a TCP port
    // outside 1..65535, an index named twice.
    static bool Parse(const std::string& text, TcpMap& map);
    // QUOR_HOST_TCP, read once per process; empty when unset. A malformed value is
    // reported on stderr and ignored.
    static const TcpMap& FromEnvironment();
};

// Connects to 127.0.0.1:port, retrying until something listens or `waitMs` has passed;
// the descriptor or -1.
int ConnectTcp(std::uint16_t port, int waitMs);
// Listens on 127.0.0.1:port (address reuse on); the descriptor or -1.
int ListenTcp(std::uint16_t port, int backlog);

}  // namespace quorhost
