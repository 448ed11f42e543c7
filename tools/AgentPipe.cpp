#include "tools/AgentPipe.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/posix/SimSocket.h"

namespace quorguest {

AgentPipe::~AgentPipe() { Close(); }

bool AgentPipe::Listen(const std::string& name)
{
    Close();
    path_ = quor::platform::PipeSocket(name);
    listenFd_ = quor::platform::sim::ListenUnixSocket(path_, 4);
    return listenFd_ >= 0;
}

bool AgentPipe::Accept(int timeoutMs)
{
    pollfd pfd{listenFd_, POLLIN, 0};
    if (listenFd_ < 0 || ::poll(&pfd, 1, timeoutMs) <= 0) {
        return false;
    }
    fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    pending_.clear();
    return fd_ >= 0;
}

bool AgentPipe::SendRaw(const void* data, std::size_t length)
{
    return fd_ >= 0 && quor::platform::sim::SendAllOn(fd_, data, length);
}

bool AgentPipe::Send(const std::u16string& text)
{
    std::string bytes;
    for (const char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    bytes.append(2, '\0');
    return SendRaw(bytes.data(), bytes.size());
}

bool AgentPipe::Receive(std::u16string& text, int timeoutMs)
{
    text.clear();
    lastBytes_ = 0;
    while (true) {
        for (std::size_t i = 0; i + 1 < pending_.size(); i += 2) {
            if (pending_[i] == '\0' && pending_[i + 1] == '\0') {
                for (std::size_t k = 0; k < i; k += 2) {
                    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(pending_[k]) |
                                                         (static_cast<unsigned char>(pending_[k + 1]) << 8)));
                }
                lastBytes_ = i + 2;
                pending_.erase(0, i + 2);
                return true;
            }
        }
        pollfd pfd{fd_, POLLIN, 0};
        if (fd_ < 0 || ::poll(&pfd, 1, timeoutMs) <= 0) {
            return false;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

bool AgentPipe::WaitClosed(int timeoutMs)
{
    while (true) {
        pollfd pfd{fd_, POLLIN, 0};
        if (fd_ < 0 || ::poll(&pfd, 1, timeoutMs) <= 0) {
            return false;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return errno == ECONNRESET;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void AgentPipe::CloseConnection()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void AgentPipe::Close()
{
    CloseConnection();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path_.c_str());
    }
}

}  // namespace quorguest
