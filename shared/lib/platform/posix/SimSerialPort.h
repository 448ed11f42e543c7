// The simulated virtio-serial driver's port device (posix only), shared by the discovery
// and handle calls (SerialPort.cpp) and the overlapped operations (SerialPortIo.cpp).
//
// An open port listens on the Unix stream socket of its host index (SimLayout.h); one host
// peer at a time connects there. The acceptor thread takes new hosts, notices a host that
// closed its end, wakes the operations waiting on the port and raises the port-status event
// (status 1 when a host connects, 0 when it leaves) on the machine's event bus.
//
// Locking: `m` guards `conn` and `ops`; a Conn's fd lives as long as the Conn; an
// operation's waker belongs to its thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shared/lib/platform/SerialPort.h"

namespace quor::platform::sim {

// A wake-up channel (an eventfd) for one waiter.
struct Waker {
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    void Wake() const;
    void Drain() const;
    int fd;
};

// A thread has at most one operation waiting at a time, so one wake-up channel per thread
// serves all of its operations; a stale wake-up only costs one more look.
Waker& ThreadWaker();

struct Conn {
    explicit Conn(int f) : fd(f) {}
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    int fd;
    std::atomic<bool> hostClosed{false};
};

struct Op {
    Waker& waker = ThreadWaker();
    bool cancelled = false;  // guarded by the port's mutex
};

struct SimPort {
    std::uint32_t index = 0;
    std::string socketPath;
    int listenFd = -1;
    Waker stop;
    std::thread acceptor;

    std::mutex m;
    std::shared_ptr<Conn> conn;
    std::vector<Op*> ops;  // pending operations on this port

    // Binds and listens on the port's socket and starts the acceptor; false (last error
    // set) when the socket cannot be made.
    bool Start();
    // Stops the acceptor and removes the socket.
    void Stop();
    void NotifyAll();  // with `m` held
    std::shared_ptr<Conn> Current();

private:
    void AcceptLoop();
    void RaiseStatus(std::uint32_t status);
};

// The handle of the open port with this host index; kInvalidPort when it is not open.
PortHandle OpenSerialPort(std::uint32_t hostIndex);

inline SimPort* AsPort(PortHandle h) { return reinterpret_cast<SimPort*>(h); }

}  // namespace quor::platform::sim
