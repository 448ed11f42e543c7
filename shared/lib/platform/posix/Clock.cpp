#include "shared/lib/platform/Clock.h"

#include <ctime>

namespace quor::platform {

LocalTime NowLocal()
{
    timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    // The calendar conversion only changes once a second; keep the last one per thread.
    thread_local time_t lastSecond = -1;
    thread_local std::tm tm {};
    if (ts.tv_sec != lastSecond) {
        ::localtime_r(&ts.tv_sec, &tm);
        lastSecond = ts.tv_sec;
    }
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                     tm.tm_min,         tm.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace quor::platform
