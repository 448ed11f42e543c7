#include "shared/lib/platform/EventLog.h"

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

#include <cstdio>
#include <string>
#include <syslog.h>

namespace quor::platform {

// The simulation's event log: stderr, or syslog in the machine's syslog mode; in its fail
// mode registering the source fails with 5, for tests of that path.
namespace {
struct Source {
    std::string name;
    bool useSyslog;
};
}  // namespace

EventSource OpenEventSource(const char* sourceName)
{
    const sim::EventLogMode mode = sim::SimMachine::Get().EventLog();
    if (mode == sim::EventLogMode::Fail) {
        sim::SetLastError(kErrorAccessDenied);
        return nullptr;
    }
    const bool useSyslog = mode == sim::EventLogMode::Syslog;
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
        sim::SetLastError(kErrorInvalidHandle);
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

}  // namespace quor::platform
