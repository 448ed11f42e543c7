#include "platform/EventLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>

namespace quor::platform {

// The simulation's event log: stderr, or syslog when QUOR_SIM_EVENTLOG=syslog.
// QUOR_SIM_EVENTLOG=fail makes registration fail, for tests of that path.
namespace {
struct Source {
    std::string name;
    bool useSyslog;
};
std::uint32_t g_lastError = 0;
}  // namespace

EventSource OpenEventSource(const char* sourceName)
{
    const char* mode = std::getenv("QUOR_SIM_EVENTLOG");
    if (mode != nullptr && std::strcmp(mode, "fail") == 0) {
        g_lastError = 5;  // ERROR_ACCESS_DENIED
        return nullptr;
    }
    const bool useSyslog = mode != nullptr && std::strcmp(mode, "syslog") == 0;
    auto* source = new Source{sourceName, useSyslog};
    if (useSyslog) {
        ::openlog(source->name.c_str(), LOG_PID, LOG_USER);
    }
    return source;
}

bool ReportErrorEvent(EventSource source, std::uint16_t category, std::uint32_t eventId, const char* message)
{
    auto* s = static_cast<Source*>(source);
    if (s == nullptr) {
        g_lastError = 6;  // ERROR_INVALID_HANDLE
        return false;
    }
    if (s->useSyslog) {
        ::syslog(LOG_ERR, "[category %u, event %u] %s", category, eventId, message);
    } else {
        std::fprintf(stderr, "%s: error event (category %u, id %u): %s\n", s->name.c_str(), category, eventId,
                     message);
    }
    return true;
}

void CloseEventSource(EventSource source)
{
    auto* s = static_cast<Source*>(source);
    if (s != nullptr && s->useSyslog) {
        ::closelog();
    }
    delete s;
}

std::uint32_t LastEventLogError() { return g_lastError; }

}  // namespace quor::platform
