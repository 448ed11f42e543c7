// The simulated virtio-serial driver: overlapped reads and writes on an open port,
// cancellation and purging. A write while no host is connected fails with 554, as the real
// driver's does; a read waits until a host connects and sends; cancellation wakes every
// waiter at once. Fault point "SerialPort.ReadFile.NoData": a read completes at once with
// no bytes.
#include "shared/lib/platform/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "shared/lib/platform/posix/SimSerialPort.h"

namespace quor::platform {

using sim::AsPort;
using sim::Conn;
using sim::SimPort;

struct PortIo::Impl {
    sim::Op op;
    SimPort* port = nullptr;
    bool isWrite = false;
    unsigned char* readBuf = nullptr;
    const unsigned char* writeBuf = nullptr;
    std::uint32_t length = 0;
    std::uint32_t sent = 0;
    bool registered = false;

    ~Impl() { Unregister(); }
    // An operation is pending (and so reachable by CancelIoEx) from its start until it
    // completes or is destroyed.
    void Register()
    {
        std::lock_guard<std::mutex> g(port->m);
        port->ops.push_back(&op);
        registered = true;
    }
    void Unregister()
    {
        if (!registered) {
            return;
        }
        std::lock_guard<std::mutex> g(port->m);
        port->ops.erase(std::find(port->ops.begin(), port->ops.end(), &op));
        registered = false;
    }
    bool Cancelled()
    {
        std::lock_guard<std::mutex> g(port->m);
        return op.cancelled;
    }
    // One attempt without blocking: 1 done, 0 would block, -1 failed (error set).
    int TryRead(std::uint32_t& done, std::uint32_t& error);
    int TryWrite(std::uint32_t& done, std::uint32_t& error);
    bool Run(std::uint32_t timeoutMs, std::uint32_t& done, std::uint32_t& error);
};

int PortIo::Impl::TryRead(std::uint32_t& done, std::uint32_t& error)
{
    for (;;) {
        std::shared_ptr<Conn> c = port->Current();
        if (!c) {
            return 0;
        }
        const ssize_t n = ::recv(c->fd, readBuf, length, MSG_DONTWAIT);
        if (n > 0) {
            done = static_cast<std::uint32_t>(n);
            return 1;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return 0;
        }
        if (length == 0 && n == 0) {
            done = 0;
            return 1;
        }
        // End of the host's data: forget this connection and wait for the next host.
        std::lock_guard<std::mutex> g(port->m);
        if (port->conn == c) {
            port->conn.reset();
        }
        (void)error;
        return 0;
    }
}

int PortIo::Impl::TryWrite(std::uint32_t& done, std::uint32_t& error)
{
    std::shared_ptr<Conn> c = port->Current();
    if (c && !c->hostClosed.load()) {
        // A host that has just closed its end must not swallow the write.
        pollfd pfd{c->fd, POLLRDHUP, 0};
        if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            c->hostClosed = true;
        }
    }
    if (!c || c->hostClosed.load()) {
        if (sent > 0) {
            done = sent;
            return 1;
        }
        error = kErrorCantWait;
        return -1;
    }
    while (sent < length) {
        const ssize_t n = ::send(c->fd, writeBuf + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return 0;
        }
        c->hostClosed = true;
        if (sent > 0) {
            done = sent;
            return 1;
        }
        error = kErrorCantWait;
        return -1;
    }
    done = sent;
    return 1;
}

bool PortIo::Impl::Run(std::uint32_t timeoutMs, std::uint32_t& done, std::uint32_t& error)
{
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    // A read that was just tried at its start has nothing to find before the first wait.
    bool tryNow = isWrite;
    for (;;) {
        if (Cancelled()) {
            error = kErrorOperationAborted;
            return false;
        }
        const int r = !tryNow ? 0 : isWrite ? TryWrite(done, error) : TryRead(done, error);
        tryNow = true;
        if (r != 0) {
            Unregister();
            return r > 0;
        }
        int waitMs = -1;
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                if (isWrite && sent > 0) {
                    done = sent;
                    return true;
                }
                error = kWaitTimeout;
                return false;
            }
            waitMs = static_cast<int>(std::min<long long>((left + 999) / 1000, 1000));
        } else {
            waitMs = 1000;
        }
        std::shared_ptr<Conn> c = port->Current();
        pollfd fds[2] = {{op.waker.fd, POLLIN, 0},
                         {c ? c->fd : -1, static_cast<short>(isWrite ? POLLOUT : POLLIN), 0}};
        (void)::poll(fds, 2, waitMs);
        if ((fds[0].revents & POLLIN) != 0) {
            op.waker.Drain();
        }
    }
}

PortIo::PortIo() : impl_(std::make_unique<Impl>()) {}
PortIo::~PortIo() = default;

bool PortIo::MakeEvent()
{
    if (impl_->op.waker.fd < 0) {
        error_ = kErrorNotEnoughMemory;
        return false;
    }
    return true;
}

PortIo::Start PortIo::Read(PortHandle port, void* buffer, std::uint32_t length, std::uint32_t& done)
{
    if (port == kInvalidPort || port == 0) {
        error_ = kErrorInvalidHandle;
        sim::SetLastError(error_);
        return Start::Failed;
    }
    if (length > 0 && sim::Fault("SerialPort.ReadFile.NoData")) {
        // The driver completes a read with no bytes, as it does once the host side is gone.
        done = 0;
        return Start::Completed;
    }
    impl_->port = AsPort(port);
    impl_->isWrite = false;
    impl_->readBuf = static_cast<unsigned char*>(buffer);
    impl_->length = length;
    impl_->Register();
    std::uint32_t err = 0;
    if (impl_->TryRead(done, err) > 0) {
        impl_->Unregister();
        return Start::Completed;
    }
    return Start::Pending;
}

PortIo::Start PortIo::Write(PortHandle port, const void* buffer, std::uint32_t length, std::uint32_t& done)
{
    if (port == kInvalidPort || port == 0) {
        error_ = kErrorInvalidHandle;
        sim::SetLastError(error_);
        return Start::Failed;
    }
    impl_->port = AsPort(port);
    impl_->isWrite = true;
    impl_->writeBuf = static_cast<const unsigned char*>(buffer);
    impl_->length = length;
    impl_->sent = 0;
    impl_->Register();
    std::uint32_t err = 0;
    if (impl_->TryWrite(done, err) > 0) {
        impl_->Unregister();
        return Start::Completed;
    }
    // A refused write (no host) completes through the wait, as the driver's does.
    return Start::Pending;
}

bool PortIo::Wait(std::uint32_t& done)
{
    std::uint32_t err = 0;
    if (impl_->Run(kInfinite, done, err)) {
        return true;
    }
    error_ = err;
        sim::SetLastError(error_);
    return false;
}

bool PortIo::WaitFor(std::uint32_t timeoutMs, std::uint32_t& done)
{
    std::uint32_t err = 0;
    if (impl_->Run(timeoutMs, done, err)) {
        return true;
    }
    error_ = err;
        sim::SetLastError(error_);
    return false;
}

bool PortIo::CancelAndFinish(std::uint32_t& done)
{
    // Nothing is in flight outside a wait in the simulation; a write that had sent part
    // of its data reports that part.
    if (impl_->isWrite && impl_->sent > 0) {
        done = impl_->sent;
        return true;
    }
    return false;
}

bool CancelAllIo(PortHandle h)
{
    if (h == kInvalidPort || h == 0) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    SimPort* port = AsPort(h);
    std::lock_guard<std::mutex> g(port->m);
    if (port->ops.empty()) {
        sim::SetLastError(kErrorNotFound);
        return false;
    }
    for (sim::Op* op : port->ops) {
        op->cancelled = true;
        op->waker.Wake();
    }
    return true;
}

bool PurgePort(PortHandle h)
{
    if (h == kInvalidPort || h == 0) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    // Clears what the host sent and nobody has read yet.
    std::shared_ptr<Conn> c = AsPort(h)->Current();
    if (c) {
        unsigned char junk[4096];
        while (::recv(c->fd, junk, sizeof junk, MSG_DONTWAIT) > 0) {
        }
    }
    return true;
}

}  // namespace quor::platform
