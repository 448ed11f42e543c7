// Test support: the host's end of the clipboard channel, for one test body on both
// platforms. posix: a fresh simulated machine with its file-share back end, the host
// connecting to the simulated clipboard port. win32: one end of an overlapped named pipe
// standing in for the virtio-serial port (no such device exists under Wine), the other end
// adopted by the manager's transport, and a stand-in file-share server that starts without
// its device. Bytes only: the test builds and parses the clipboard messages itself.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fileshare/src/FuseServerInterface.h"
#include "quorsharemgr/ShareMgr.h"

namespace quortest {

class ShareHost {
public:
    // Without the file-share device the manager's configuration cannot complete.
    explicit ShareHost(bool fileShareDevice = true);
    ~ShareHost();
    ShareHost(const ShareHost&) = delete;
    ShareHost& operator=(const ShareHost&) = delete;

    // The server a manager of this host is made with (null: the program's own server).
    std::unique_ptr<quor::fs::FuseServerInterface> Server();
    // Gives the manager its clipboard channel and runs its configuration; on success the
    // host is connected and the manager's listen thread is reading.
    std::uint32_t Configure(quor::ShareMgr& mgr);

    bool Send(const std::vector<unsigned char>& bytes);
    // Exactly `length` bytes; false on time-out or a broken channel.
    bool Recv(unsigned char* data, std::size_t length, int timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quortest
