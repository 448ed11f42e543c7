#include "shared/lib/platform/posix/SimSocket.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quor::platform::sim {

int ListenUnixSocket(const std::string& path, int backlog)
{
    // Bound and listening under a name of its own first, then renamed: a socket file at
    // `path` always takes connections.
    const std::string staging = path + ".new" + std::to_string(::getpid());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (staging.size() >= sizeof addr.sun_path) {
        return -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::memcpy(addr.sun_path, staging.c_str(), staging.size() + 1);
    ::unlink(staging.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0 ||
        ::rename(staging.c_str(), path.c_str()) != 0) {
        ::unlink(staging.c_str());
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAllOn(int fd, const void* data, std::size_t length)
{
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
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

}  // namespace quor::platform::sim
