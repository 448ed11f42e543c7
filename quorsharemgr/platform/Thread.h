// Platform seam: threads, events and bounded waits, with termination as the last resort.
// win32: CreateThread, CreateEventW, SetEvent, WaitForMultipleObjects, GetExitCodeThread,
// TerminateThread, CloseHandle, Sleep. posix: the simulated machine's threads and events
// (docs/simulation.md: a terminated thread is abandoned and counted).
#pragma once

#include <cstdint>

namespace quor::platform {

using SyncHandle = void*;  // a thread or an event
using ThreadProc = std::uint32_t (*)(void* arg);

// Runs at once; null on failure (last error set).
SyncHandle CreateThread(ThreadProc proc, void* arg);
// Unnamed, non-signalled; null on failure (last error set).
SyncHandle CreateEventW(bool manualReset);
bool SetEvent(SyncHandle event);
// Wait-any over `count` handles: kWaitObject0 + index, kWaitTimeout or kWaitFailed.
std::uint32_t WaitForMultipleObjects(std::uint32_t count, const SyncHandle* handles, std::uint32_t timeoutMs);
std::uint32_t WaitForSingleObject(SyncHandle handle, std::uint32_t timeoutMs);
bool GetExitCodeThread(SyncHandle thread, std::uint32_t& code);
bool TerminateThread(SyncHandle thread, std::uint32_t code);
bool CloseHandle(SyncHandle handle);
void Sleep(std::uint32_t ms);

}  // namespace quor::platform
