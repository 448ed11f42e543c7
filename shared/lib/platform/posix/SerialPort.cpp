// The simulated virtio-serial driver.
//
// The ports present are the host indexes in $QUOR_SIM_PORTS (default "3,4"). Opening
// port N listens on the Unix stream socket $QUOR_SIM_DIR/vport<N>; one host peer at a
// time connects there. A write while no host is connected fails with 554, as the real
// driver's does; a read waits until a host connects and sends; cancellation wakes any
// waiter.
#include "platform/SerialPort.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/SimPath.h"

namespace quor::platform {

namespace {

thread_local std::uint32_t t_lastError = 0;

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorGenFailure = 31;

std::vector<std::uint32_t> SimPorts()
{
    const char* env = std::getenv("QUOR_SIM_PORTS");
    std::string list = env != nullptr ? env : "3,4";
    std::vector<std::uint32_t> ports;
    std::stringstream ss(list);
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (!item.empty() && std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            ports.push_back(static_cast<std::uint32_t>(std::stoul(item)));
        }
    }
    return ports;
}

// A wake-up channel for one waiter.
struct Waker {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~Waker() { ::close(fd); }
    void Wake() const
    {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
    void Drain() const
    {
        std::uint64_t v;
        (void)!::read(fd, &v, sizeof v);
    }
};

struct Conn {
    explicit Conn(int f) : fd(f) {}
    ~Conn() { ::close(fd); }
    int fd;
    std::atomic<bool> hostClosed{false};
};

struct Op;

struct SimPort {
    std::uint32_t index = 0;
    std::string socketPath;
    int listenFd = -1;
    Waker stop;
    std::thread acceptor;

    std::mutex m;
    std::shared_ptr<Conn> conn;
    std::vector<Op*> ops;  // pending operations on this port

    void NotifyAll();
    void AcceptLoop();
    std::shared_ptr<Conn> Current()
    {
        std::lock_guard<std::mutex> g(m);
        return conn;
    }
};

std::mutex g_openMutex;
std::set<std::uint32_t> g_openPorts;  // no sharing: one open handle per port

// A thread has at most one operation pending per wait, so one wake-up channel per
// thread serves all of its operations; a stale wake-up only costs one more look.
Waker& ThreadWaker()
{
    thread_local Waker waker;
    return waker;
}

struct Op {
    Waker& waker = ThreadWaker();
    bool cancelled = false;  // guarded by the port's mutex
};

void SimPort::NotifyAll()
{
    for (Op* op : ops) {
        op->waker.Wake();
    }
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
            std::lock_guard<std::mutex> g(m);
            NotifyAll();
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                auto fresh = std::make_shared<Conn>(fd);
                std::lock_guard<std::mutex> g(m);
                conn = std::move(fresh);
                NotifyAll();
            }
        }
    }
}

SimPort* AsPort(PortHandle h) { return reinterpret_cast<SimPort*>(h); }

struct DevSet {
    std::vector<std::uint32_t> ports;
};

}  // namespace

struct DevInfoSet : DevSet {};

DevInfoSet* GetSerialPortClassDevs()
{
    auto* set = new DevInfoSet;
    set->ports = SimPorts();
    return set;
}

InterfaceResult GetSerialPortInterface(DevInfoSet* set, std::uint32_t index, std::u16string& devicePath)
{
    if (index >= set->ports.size()) {
        t_lastError = 259;  // ERROR_NO_MORE_ITEMS
        return InterfaceResult::Missing;
    }
    const std::string path = "\\\\?\\sim#vioserial#port" + std::to_string(set->ports[index]);
    devicePath.assign(path.begin(), path.end());
    return InterfaceResult::Ok;
}

PortHandle OpenPortDevice(const std::u16string& devicePath)
{
    const std::string narrow(devicePath.begin(), devicePath.end());
    const auto at = narrow.rfind("port");
    if (at == std::string::npos) {
        t_lastError = kErrorFileNotFound;
        return kInvalidPort;
    }
    const std::uint32_t index = static_cast<std::uint32_t>(std::stoul(narrow.substr(at + 4)));
    {
        std::lock_guard<std::mutex> g(g_openMutex);
        if (!g_openPorts.insert(index).second) {
            t_lastError = kErrorAccessDenied;
            return kInvalidPort;
        }
    }
    auto* port = new SimPort;
    port->index = index;
    std::error_code ec;
    std::filesystem::create_directories(SimDir(), ec);
    port->socketPath = SimDir() + "/vport" + std::to_string(index);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (port->socketPath.size() >= sizeof addr.sun_path) {
        t_lastError = kErrorGenFailure;
        std::lock_guard<std::mutex> g(g_openMutex);
        g_openPorts.erase(index);
        delete port;
        return kInvalidPort;
    }
    std::memcpy(addr.sun_path, port->socketPath.c_str(), port->socketPath.size() + 1);
    ::unlink(port->socketPath.c_str());
    port->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (port->listenFd < 0 || ::bind(port->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(port->listenFd, 4) != 0) {
        t_lastError = kErrorGenFailure;
        if (port->listenFd >= 0) {
            ::close(port->listenFd);
        }
        std::lock_guard<std::mutex> g(g_openMutex);
        g_openPorts.erase(index);
        delete port;
        return kInvalidPort;
    }
    port->acceptor = std::thread([port] { port->AcceptLoop(); });
    return reinterpret_cast<PortHandle>(port);
}

bool QueryHostPortIndex(PortHandle port, std::uint32_t& hostIndex)
{
    if (port == kInvalidPort || port == 0) {
        t_lastError = kErrorInvalidHandle;
        return false;
    }
    hostIndex = AsPort(port)->index;
    return true;
}

void ClosePort(PortHandle h)
{
    if (h == kInvalidPort || h == 0) {
        return;
    }
    SimPort* port = AsPort(h);
    port->stop.Wake();
    port->acceptor.join();
    ::close(port->listenFd);
    ::unlink(port->socketPath.c_str());
    {
        std::lock_guard<std::mutex> g(g_openMutex);
        g_openPorts.erase(port->index);
    }
    delete port;
}

bool DestroyClassDevs(DevInfoSet* set)
{
    delete set;
    return true;
}

std::uint32_t LastError() { return t_lastError; }

// ---- operations ---------------------------------------------------------------------------

struct PortIo::Impl {
    Op op;
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
        error_ = 8;  // ERROR_NOT_ENOUGH_MEMORY
        return false;
    }
    return true;
}

PortIo::Start PortIo::Read(PortHandle port, void* buffer, std::uint32_t length, std::uint32_t& done)
{
    if (port == kInvalidPort || port == 0) {
        error_ = t_lastError = kErrorInvalidHandle;
        return Start::Failed;
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
        error_ = t_lastError = kErrorInvalidHandle;
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
    error_ = t_lastError = err;
    return false;
}

bool PortIo::WaitFor(std::uint32_t timeoutMs, std::uint32_t& done)
{
    std::uint32_t err = 0;
    if (impl_->Run(timeoutMs, done, err)) {
        return true;
    }
    error_ = t_lastError = err;
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
        t_lastError = kErrorInvalidHandle;
        return false;
    }
    SimPort* port = AsPort(h);
    std::lock_guard<std::mutex> g(port->m);
    if (port->ops.empty()) {
        t_lastError = kErrorNotFound;
        return false;
    }
    for (Op* op : port->ops) {
        op->cancelled = true;
        op->waker.Wake();
    }
    return true;
}

bool PurgePort(PortHandle h)
{
    if (h == kInvalidPort || h == 0) {
        t_lastError = kErrorInvalidHandle;
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
