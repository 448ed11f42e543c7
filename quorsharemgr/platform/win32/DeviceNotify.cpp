#include "quorsharemgr/platform/DeviceNotify.h"

#include <cstring>

#include <windows.h>
#include <dbt.h>

namespace quor::platform {

static_assert(sizeof(GUID) == sizeof(Guid));

DeviceNotifyHandle RegisterInterfaceNotification(WindowHandle window, const Guid& interfaceClass)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    std::memcpy(&filter.dbcc_classguid, &interfaceClass, sizeof(GUID));
    return ::RegisterDeviceNotificationW(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

DeviceNotifyHandle RegisterHandleNotification(WindowHandle window, std::intptr_t handle, const Guid& eventGuid)
{
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_reserved = 0;
    filter.dbch_handle = reinterpret_cast<HANDLE>(handle);
    filter.dbch_hdevnotify = nullptr;
    std::memcpy(&filter.dbch_eventguid, &eventGuid, sizeof(GUID));
    filter.dbch_nameoffset = 0;
    filter.dbch_data[0] = 0;
    return ::RegisterDeviceNotificationW(static_cast<HWND>(window), &filter, 0);
}

bool UnregisterDeviceNotification(DeviceNotifyHandle notify)
{
    return ::UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(notify)) != FALSE;
}

}  // namespace quor::platform
