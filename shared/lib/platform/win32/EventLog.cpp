#include "shared/lib/platform/EventLog.h"

#include <windows.h>

namespace quor::platform {

EventSource OpenEventSource(const char* sourceName)
{
    return ::RegisterEventSourceA(nullptr, sourceName);
}

bool ReportErrorEvent(EventSource source, std::uint16_t category, std::uint32_t eventId, const char* message)
{
    LPCSTR strings[1] = {message};
    return ::ReportEventA(static_cast<HANDLE>(source), EVENTLOG_ERROR_TYPE, category, eventId, nullptr, 1, 0,
                          strings, nullptr) != FALSE;
}

void CloseEventSource(EventSource source) { (void)::DeregisterEventSource(static_cast<HANDLE>(source)); }

}  // namespace quor::platform
