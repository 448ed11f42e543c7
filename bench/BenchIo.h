// Small helpers the benchmarks share: exact socket reads and writes, and seconds between
// two time points.
#pragma once

#include <chrono>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

namespace quorbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

inline bool ReadExact(int fd, unsigned char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

inline bool SendExact(int fd, const unsigned char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace quorbench
