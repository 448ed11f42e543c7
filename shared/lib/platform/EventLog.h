// Platform seam: the Windows event log (a syslog/stderr stand-in in the simulation).
#pragma once

#include <cstdint>

#include "shared/lib/platform/LastError.h"

namespace quor::platform {

using EventSource = void*;

// RegisterEventSourceA(nullptr, name); null on failure.
EventSource OpenEventSource(const char* sourceName);
// ReportEventA(source, EVENTLOG_ERROR_TYPE, category, eventId, no SID, one string, no data).
bool ReportErrorEvent(EventSource source, std::uint16_t category, std::uint32_t eventId, const char* message);
void CloseEventSource(EventSource source);
// Failures leave their reason in LastError().

}  // namespace quor::platform
