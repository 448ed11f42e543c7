// The host's end of a simulated virtio-serial port: a Unix stream socket connection to
// $QUOR_SIM_DIR/vport<N> (or a TCP connection, see tools/HostTcp.h), with raw byte and
// clipboard-message helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorhost {

struct ClipMessage {
    std::uint32_t format = 0;
    std::vector<unsigned char> header;  // all headerLen bytes (fixed + extra header)
    std::vector<unsigned char> data;
};

class HostPort {
public:
    HostPort() = default;
    ~HostPort();
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    static std::string SocketPath(std::uint32_t hostPortIndex);
    // Connects, retrying until the guest side listens or `waitMs` has passed: to the TCP port
    // QUOR_HOST_TCP gives for this index, otherwise to the simulation's socket.
    bool Connect(std::uint32_t hostPortIndex, int waitMs = 5000);
    bool ConnectPath(const std::string& path, int waitMs = 5000);
    bool ConnectTcp(std::uint16_t tcpPort, int waitMs = 5000);
    void Close();
    bool IsConnected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool SendAll(const void* data, std::size_t length);
    // Reads exactly `length` bytes; false on end of stream, error or time-out.
    bool RecvAll(void* data, std::size_t length, int timeoutMs = 5000);
    // Reads what is there (at most `capacity`), waiting up to `timeoutMs`; -1 on error / EOF.
    long RecvSome(void* data, std::size_t capacity, int timeoutMs);
    // Bytes sent that the guest side has not read yet (0 when not connected).
    std::size_t Unread() const;

    bool SendClip(std::uint32_t format, const std::vector<unsigned char>& header, const void* data,
                  std::size_t dataLen);
    bool RecvClip(ClipMessage& message, int timeoutMs = 5000);

private:
    int fd_ = -1;
};

}  // namespace quorhost
