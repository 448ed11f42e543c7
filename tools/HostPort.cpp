#include "tools/HostPort.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "quorsharemgr/ShareHeader.h"
#include "tools/HostTcp.h"
#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/posix/SimSocket.h"

namespace quorhost {

HostPort::~HostPort() { Close(); }

std::string HostPort::SocketPath(std::uint32_t hostPortIndex)
{
    return quor::platform::SerialPortSocket(hostPortIndex);
}

bool HostPort::Connect(std::uint32_t hostPortIndex, int waitMs)
{
    const TcpMap& tcp = TcpMap::FromEnvironment();
    if (const auto it = tcp.ports.find(hostPortIndex); it != tcp.ports.end()) {
        return ConnectTcp(it->second, waitMs);
    }
    return ConnectPath(SocketPath(hostPortIndex), waitMs);
}

bool HostPort::ConnectTcp(std::uint16_t tcpPort, int waitMs)
{
    Close();
    fd_ = quorhost::ConnectTcp(tcpPort, waitMs);
    return fd_ >= 0;
}

bool HostPort::ConnectPath(const std::string& path, int waitMs)
{
    Close();
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            fd_ = fd;
            return true;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void HostPort::Close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool HostPort::SendAll(const void* data, std::size_t length)
{
    return quor::platform::sim::SendAllOn(fd_, data, length);
}

long HostPort::RecvSome(void* data, std::size_t capacity, int timeoutMs)
{
    pollfd pfd{fd_, POLLIN, 0};
    const int r = ::poll(&pfd, 1, timeoutMs);
    if (r == 0) {
        return 0;
    }
    if (r < 0) {
        return -1;
    }
    const ssize_t n = ::recv(fd_, data, capacity, 0);
    return n > 0 ? static_cast<long>(n) : -1;
}

bool HostPort::RecvAll(void* data, std::size_t length, int timeoutMs)
{
    auto* p = static_cast<unsigned char*>(data);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return false;
        }
        const long n = RecvSome(p, length, static_cast<int>(left));
        if (n < 0) {
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool HostPort::SendClip(std::uint32_t format, const std::vector<unsigned char>& header, const void* data,
                        std::size_t dataLen)
{
    (void)format;
    return SendAll(header.data(), header.size()) && (dataLen == 0 || SendAll(data, dataLen));
}

bool HostPort::RecvClip(ClipMessage& message, int timeoutMs)
{
    message.header.assign(quor::ShareHeader::kSize, 0);
    if (!RecvAll(message.header.data(), quor::ShareHeader::kSize, timeoutMs)) {
        return false;
    }
    const quor::ShareHeader h = quor::ShareHeader::Parse(message.header.data());
    if (h.signature != quor::ShareHeader::kSignature || h.headerLen < quor::ShareHeader::kSize ||
        h.headerLen > quor::ShareHeader::kSize + quor::ShareHeader::kMaxExtra ||
        h.dataLen > quor::ShareHeader::kMaxBitmapData) {
        return false;
    }
    message.format = h.format;
    message.header.resize(h.headerLen);
    if (h.headerLen > quor::ShareHeader::kSize &&
        !RecvAll(message.header.data() + quor::ShareHeader::kSize, h.headerLen - quor::ShareHeader::kSize,
                 timeoutMs)) {
        return false;
    }
    // resize, not assign: a message object passed again keeps its buffer, already in memory.
    message.data.resize(static_cast<std::size_t>(h.dataLen));
    return h.dataLen == 0 || RecvAll(message.data.data(), message.data.size(), timeoutMs);
}

std::size_t HostPort::Unread() const
{
    // On a Unix stream socket the send queue holds what the peer has not taken in yet; over
    // TCP, what the stand-in device has not received yet.
    int queued = 0;
    if (fd_ < 0 || ::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
}

}  // namespace quorhost
