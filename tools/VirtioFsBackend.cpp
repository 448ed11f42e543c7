#include "tools/VirtioFsBackend.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "shared/lib/platform/posix/SimSocket.h"
#include "shared/lib/platform/SimLayout.h"
#include "tools/HostTcp.h"

namespace quorhost {

namespace {
bool ReadExact(int fd, void* data, std::size_t length)
{
    auto* p = static_cast<unsigned char*>(data);
    while (length > 0) {
        const ssize_t n = ::recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}
bool WriteExact(int fd, const void* data, std::size_t length)
{
    return quor::platform::sim::SendAllOn(fd, data, length);
}
}  // namespace

VirtioFsBackend::~VirtioFsBackend() { Stop(); }

bool VirtioFsBackend::Start()
{
    if (const auto& tcp = TcpMap::FromEnvironment(); tcp.fs) {
        return StartTcp(*tcp.fs);
    }
    std::error_code ec;
    std::filesystem::create_directories(quor::platform::SimDir(), ec);
    path_ = quor::platform::VirtioFsSocket();
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    ::unlink(path_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0) {
        if (listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
        }
        return false;
    }
    return StartAccepting();
}

bool VirtioFsBackend::StartTcp(std::uint16_t tcpPort)
{
    path_.clear();
    listenFd_ = ListenTcp(tcpPort, 4);
    return listenFd_ >= 0 && StartAccepting();
}

bool VirtioFsBackend::StartAccepting()
{
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void VirtioFsBackend::Stop()
{
    if (listenFd_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    acceptor_.join();
    {
        std::lock_guard<std::mutex> g(m_);
        for (int fd : connFds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto& t : servers_) {
        t.join();
    }
    servers_.clear();
    for (int fd : connFds_) {
        ::close(fd);
    }
    connFds_.clear();
    ::close(listenFd_);
    ::close(stopFd_);
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
    listenFd_ = -1;
    stopFd_ = -1;
}

void VirtioFsBackend::SetAnswer(std::int32_t error, std::uint32_t bytes, std::uint32_t lengthField)
{
    std::lock_guard<std::mutex> g(m_);
    answerError_ = error;
    answerBytes_ = bytes > 16 ? 16 : bytes;
    answerLength_ = lengthField;
}

void VirtioFsBackend::AcceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> g(m_);
                connFds_.push_back(fd);
                servers_.emplace_back([this, fd] { Serve(fd); });
            }
        }
    }
}

void VirtioFsBackend::Serve(int fd)
{
    std::vector<unsigned char> request;
    for (;;) {
        std::uint32_t total = 0;
        if (!ReadExact(fd, &total, sizeof total) || total < 8 || total > kReplyHead + quor::fs::kBufferSize) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        request.resize(total);
        std::memcpy(request.data(), &total, sizeof total);
        if (!ReadExact(fd, request.data() + 4, total - 4)) {
            return;
        }
        submissions_++;
        std::uint32_t operation = 0;
        std::memcpy(&operation, request.data() + 4, 4);
        std::uint64_t unique = 0;
        if (operation == kFileShareReply && total >= kReplyHead) {
            Reply r;
            std::memcpy(&r.header, request.data() + kRequestHead, sizeof r.header);
            unique = r.header.unique;
            const std::size_t available = total - kReplyHead;
            const std::size_t length = r.header.length < available ? r.header.length : available;
            dataBytes_ += length;
            if (!discard_) {
                r.data.assign(request.begin() + kReplyHead, request.begin() + static_cast<long>(kReplyHead + length));
                std::lock_guard<std::mutex> g(m_);
                replies_[unique] = std::move(r);
            }
            cv_.notify_all();
        }
        unsigned char answer[16];
        std::uint32_t bytes;
        {
            std::lock_guard<std::mutex> g(m_);
            std::memcpy(answer, &answerLength_, 4);
            std::memcpy(answer + 4, &answerError_, 4);
            bytes = answerBytes_;
        }
        std::memcpy(answer + 8, &unique, 8);
        if (!WriteExact(fd, answer, bytes)) {
            return;
        }
        if (bytes < 16) {
            ::shutdown(fd, SHUT_RDWR);  // a short answer ends the device's conversation
            return;
        }
    }
}

bool VirtioFsBackend::TakeReply(std::uint64_t unique, quor::fs::ReplyHeader& header, std::vector<unsigned char>& data,
                                int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return replies_.count(unique) != 0; })) {
        return false;
    }
    auto it = replies_.find(unique);
    header = it->second.header;
    data = std::move(it->second.data);
    replies_.erase(it);
    return true;
}

}  // namespace quorhost
