#include "shared/lib/platform/posix/SimSerialPort.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform::sim {

Waker::Waker() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Waker::~Waker() { ::close(fd); }

void Waker::Wake() const
{
    const std::uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

void Waker::Drain() const
{
    std::uint64_t v;
    (void)!::read(fd, &v, sizeof v);
}

Waker& ThreadWaker()
{
    thread_local Waker waker;
    return waker;
}

Conn::~Conn() { ::close(fd); }

std::shared_ptr<Conn> SimPort::Current()
{
    std::lock_guard<std::mutex> g(m);
    return conn;
}

void SimPort::NotifyAll()
{
    for (Op* op : ops) {
        op->waker.Wake();
    }
}

bool SimPort::Start()
{
    std::error_code ec;
    std::filesystem::create_directories(SimDir(), ec);
    socketPath = SerialPortSocket(index);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        SetLastError(kErrorGenFailure);
        return false;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ::unlink(socketPath.c_str());
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 4) != 0) {
        SetLastError(kErrorGenFailure);
        if (listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
        }
        return false;
    }
    acceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void SimPort::Stop()
{
    stop.Wake();
    if (acceptor.joinable()) {
        acceptor.join();
    }
    if (listenFd >= 0) {
        ::close(listenFd);
        listenFd = -1;
    }
    ::unlink(socketPath.c_str());
}

void SimPort::RaiseStatus(std::uint32_t status)
{
    SimEvent e;
    e.kind = SimEvent::Kind::PortStatus;
    e.device = DeviceClass::SerialPort;
    e.handle = reinterpret_cast<std::intptr_t>(this);
    e.status = status;
    e.hostIndex = index;
    SimMachine::Get().Events().Publish(e);
}

void SimPort::AcceptLoop()
{
    for (;;) {
        std::shared_ptr<Conn> current = Current();
        const bool live = current && !current->hostClosed.load();
        pollfd fds[3] = {{stop.fd, POLLIN, 0}, {listenFd, static_cast<short>(live ? 0 : POLLIN), 0},
                         {live ? current->fd : -1, POLLRDHUP, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        if (live && (fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            // The host closed its end: writes now fail; what it sent before can still be read.
            current->hostClosed = true;
            {
                std::lock_guard<std::mutex> g(m);
                NotifyAll();
            }
            RaiseStatus(0);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                auto fresh = std::make_shared<Conn>(fd);
                {
                    std::lock_guard<std::mutex> g(m);
                    conn = std::move(fresh);
                    NotifyAll();
                }
                RaiseStatus(1);
            }
        }
    }
}

}  // namespace quor::platform::sim
