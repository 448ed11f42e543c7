// The simulated machine's desktop windows and their device notifications (posix only; the
// posix side of platform/Window.h and platform/DeviceNotify.h): windows belong to the thread that
// created them; each thread has one message queue; posted messages, sent messages from
// other threads and the desktop's own work items (OLE releases) wait there until that
// thread's message loop takes them. The desktop listens on the machine's event bus and
// posts WM_CLIPBOARDUPDATE to listening windows and WM_DEVICECHANGE to windows that
// registered for a device class or an open port's handle; the record of a posted
// WM_DEVICECHANGE lives until its dispatch returns.
// Threads: every call from any thread; one mutex guards the windows and queues, and no
// sink or work item runs under it. The desktop starts afresh when the machine is reset.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>

namespace quor::platform::sim {

// Runs `work` on the message loop of `thread`; false when that thread has no queue.
bool PostWork(std::thread::id thread, std::function<void()> work);
// Live windows of the desktop.
std::size_t WindowCount();
// Device-notification registrations in force.
std::size_t DeviceRegistrations();

}  // namespace quor::platform::sim
