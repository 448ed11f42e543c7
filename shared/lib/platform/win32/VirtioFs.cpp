#include "shared/lib/platform/VirtioFs.h"

#include <windows.h>
#include <setupapi.h>

#include <vector>

namespace quor::platform {

namespace {
// {A1B0CBF2-F488-4B29-B89F-16C78E68C737}
const GUID kVirtioFsClass = {0xA1B0CBF2, 0xF488, 0x4B29, {0xB8, 0x9F, 0x16, 0xC7, 0x8E, 0x68, 0xC7, 0x37}};
constexpr DWORD kIoctlFsRequest = 0x0022E004;
}  // namespace

struct FsDevInfoSet {
    HDEVINFO info;
};

FsDevInfoSet* GetVirtioFsClassDevs()
{
    HDEVINFO info = ::SetupDiGetClassDevsW(&kVirtioFsClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return new FsDevInfoSet{info};
}

FsInterfaceResult GetVirtioFsInterface(FsDevInfoSet* set, std::uint32_t index, std::u16string& devicePath)
{
    SP_DEVICE_INTERFACE_DATA data {};
    data.cbSize = sizeof data;  // 32
    if (!::SetupDiEnumDeviceInterfaces(set->info, nullptr, &kVirtioFsClass, index, &data)) {
        return FsInterfaceResult::Missing;
    }
    DWORD required = 0;
    (void)::SetupDiGetDeviceInterfaceDetailW(set->info, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return FsInterfaceResult::DetailFailed;
    }
    std::vector<unsigned char> storage(required, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);  // 8 on 64-bit
    if (!::SetupDiGetDeviceInterfaceDetailW(set->info, &data, detail, required, nullptr, nullptr)) {
        return FsInterfaceResult::DetailFailed;
    }
    devicePath = reinterpret_cast<const char16_t*>(detail->DevicePath);
    return FsInterfaceResult::Ok;
}

FsDeviceHandle OpenFsDevice(const std::u16string& devicePath)
{
    SECURITY_ATTRIBUTES sa {};
    sa.nLength = sizeof sa;  // 24
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;
    HANDLE h = ::CreateFileW(reinterpret_cast<LPCWSTR>(devicePath.c_str()), GENERIC_READ | GENERIC_WRITE, 0, &sa,
                             OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidFsDevice : reinterpret_cast<FsDeviceHandle>(h);
}

bool DestroyFsClassDevs(FsDevInfoSet* set)
{
    const bool ok = ::SetupDiDestroyDeviceInfoList(set->info) != FALSE;
    delete set;
    return ok;
}

void CloseFsDevice(FsDeviceHandle device) { (void)::CloseHandle(reinterpret_cast<HANDLE>(device)); }

bool FsDeviceControl(FsDeviceHandle device, const void* in, std::uint32_t inLength, void* out,
                     std::uint32_t outCapacity, std::uint32_t& returned)
{
    DWORD n = 0;
    const BOOL ok = ::DeviceIoControl(reinterpret_cast<HANDLE>(device), kIoctlFsRequest, const_cast<void*>(in),
                                      inLength, out, outCapacity, &n, nullptr);
    returned = n;
    return ok != FALSE;
}

}  // namespace quor::platform
