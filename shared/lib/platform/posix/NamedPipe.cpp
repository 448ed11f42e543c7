// The simulated machine's named pipes, client side: a pipe handle is a connection to the
// Unix stream socket where the pipe's server listens. A read waits on the connection and on
// its thread's waker; CancelIoEx marks the reads waiting at that moment cancelled and wakes
// them, later reads are not affected (as on Windows). `m` guards the list of waiting reads.
#include "shared/lib/platform/NamedPipe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "shared/lib/platform/posix/SimSerialPort.h"

namespace quor::platform {

namespace {

struct SimPipe {
    int fd = -1;
    std::mutex m;
    std::vector<sim::Op*> reads;
};

SimPipe* P(PipeHandle pipe) { return reinterpret_cast<SimPipe*>(pipe); }

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";

}  // namespace

PipeHandle OpenPipe(const std::u16string& name)
{
    if (sim::FailsAt("NamedPipe.CreateFileW")) {
        return kInvalidPipe;
    }
    const std::u16string prefix(kPipePrefix);
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        sim::SetLastError(kErrorFileNotFound);
        return kInvalidPipe;
    }
    const std::string path = PipeSocket(sim::Utf8Of(name.c_str() + prefix.size()));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        sim::SetLastError(kErrorFileNotFound);
        return kInvalidPipe;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        sim::SetLastError(kErrorFileNotFound);
        return kInvalidPipe;
    }
    auto* p = new SimPipe;
    p->fd = fd;
    sim::SetLastError(kErrorSuccess);
    return reinterpret_cast<PipeHandle>(p);
}

bool ReadPipe(PipeHandle pipe, void* buffer, std::uint32_t length, std::uint32_t& read)
{
    read = 0;
    if (sim::FailsAt("NamedPipe.ReadFile")) {
        return false;
    }
    SimPipe* p = P(pipe);
    if (p == nullptr || pipe == kInvalidPipe) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    sim::Op op;
    op.waker.Drain();
    {
        std::lock_guard<std::mutex> g(p->m);
        p->reads.push_back(&op);
    }
    std::uint32_t error = kErrorSuccess;
    while (true) {
        {
            std::lock_guard<std::mutex> g(p->m);
            if (op.cancelled) {
                error = kErrorOperationAborted;
                break;
            }
        }
        const ssize_t n = ::recv(p->fd, buffer, length, MSG_DONTWAIT);
        if (n > 0) {
            read = static_cast<std::uint32_t>(n);
            break;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            error = kErrorBrokenPipe;
            break;
        }
        pollfd fds[2] = {{p->fd, POLLIN, 0}, {op.waker.fd, POLLIN, 0}};
        (void)::poll(fds, 2, -1);
        if (fds[1].revents != 0) {
            op.waker.Drain();
        }
    }
    {
        std::lock_guard<std::mutex> g(p->m);
        p->reads.erase(std::find(p->reads.begin(), p->reads.end(), &op));
    }
    sim::SetLastError(error);
    return error == kErrorSuccess;
}

bool WritePipe(PipeHandle pipe, const void* data, std::uint32_t length, std::uint32_t& written)
{
    written = 0;
    if (sim::FailsAt("NamedPipe.WriteFile")) {
        return false;
    }
    SimPipe* p = P(pipe);
    if (p == nullptr || pipe == kInvalidPipe) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (written < length) {
        const ssize_t n = ::send(p->fd, bytes + written, length - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            sim::SetLastError(kErrorNoData);
            return false;
        }
        written += static_cast<std::uint32_t>(n);
    }
    sim::SetLastError(kErrorSuccess);
    return true;
}

bool CancelPipeIo(PipeHandle pipe)
{
    if (sim::FailsAt("NamedPipe.CancelIoEx")) {
        return false;
    }
    SimPipe* p = P(pipe);
    if (p == nullptr || pipe == kInvalidPipe) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    std::lock_guard<std::mutex> g(p->m);
    if (p->reads.empty()) {
        sim::SetLastError(kErrorNotFound);
        return false;
    }
    for (sim::Op* op : p->reads) {
        op->cancelled = true;
        op->waker.Wake();
    }
    return true;
}

bool FlushPipe(PipeHandle pipe)
{
    if (sim::FailsAt("NamedPipe.FlushFileBuffers")) {
        return false;
    }
    if (P(pipe) == nullptr || pipe == kInvalidPipe) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

bool DisconnectPipe(PipeHandle)
{
    sim::SetLastError(kErrorInvalidFunction);
    return false;
}

bool ClosePipe(PipeHandle pipe)
{
    SimPipe* p = P(pipe);
    if (p == nullptr || pipe == kInvalidPipe) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    ::close(p->fd);
    delete p;
    return true;
}

}  // namespace quor::platform
