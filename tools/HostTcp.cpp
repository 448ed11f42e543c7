#include "tools/HostTcp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace quorhost {

namespace {

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value <= max;
}

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

bool TcpMap::Parse(const std::string& text, TcpMap& map)
{
    TcpMap parsed;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        const std::size_t eq = item.find('=');
        unsigned long port = 0;
        if (eq == std::string::npos || !ParseNumber(item.substr(eq + 1), 65535, port) || port == 0) {
            return false;
        }
        const std::string name = item.substr(0, eq);
        unsigned long index = 0;
        if (name == "fs") {
            if (parsed.fs) {
                return false;
            }
            parsed.fs = static_cast<std::uint16_t>(port);
        } else if (ParseNumber(name, 0xFFFFFFFFUL, index)) {
            if (!parsed.ports.emplace(static_cast<std::uint32_t>(index), static_cast<std::uint16_t>(port)).second) {
                return false;
            }
        } else {
            return false;
        }
        at = end + 1;
    }
    map = std::move(parsed);
    return true;
}

const TcpMap& TcpMap::FromEnvironment()
{
    static const TcpMap map = [] {
        TcpMap m;
        const char* text = std::getenv("QUOR_HOST_TCP");
        if (text != nullptr && *text != '\0' && !Parse(text, m)) {
            std::fprintf(stderr, "QUOR_HOST_TCP=\"%s\" is malformed; using the Unix sockets\n", text);
        }
        return m;
    }();
    return map;
}

int ConnectTcp(std::uint16_t port, int waitMs)
{
    const sockaddr_in address = Loopback(port);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            const int one = 1;
            (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ListenTcp(std::uint16_t port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address = Loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace quorhost
