// Platform seam: device notifications for a window (WM_DEVICECHANGE).
// win32: RegisterDeviceNotificationW with a DEV_BROADCAST_DEVICEINTERFACE_W or
// DEV_BROADCAST_HANDLE record, UnregisterDeviceNotification. posix: the simulated desktop
// turns the machine's device and port-status events into WM_DEVICECHANGE.
#pragma once

#include <cstdint>

#include "quorsharemgr/DeviceBroadcast.h"
#include "quorsharemgr/platform/Window.h"

namespace quor::platform {

using DeviceNotifyHandle = void*;

// Arrival and removal of interfaces of `interfaceClass`; null on failure (last error set).
DeviceNotifyHandle RegisterInterfaceNotification(WindowHandle window, const Guid& interfaceClass);
// Custom events of the open device `handle` (flags 0); null on failure.
DeviceNotifyHandle RegisterHandleNotification(WindowHandle window, std::intptr_t handle, const Guid& eventGuid);
bool UnregisterDeviceNotification(DeviceNotifyHandle notify);

}  // namespace quor::platform
