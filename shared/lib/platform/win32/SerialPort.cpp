#include "shared/lib/platform/SerialPort.h"

#include <windows.h>
#include <setupapi.h>

#include <vector>

namespace quor::platform {

namespace {
// {6FDE7521-1B65-48AE-B628-80BE62016026}
const GUID kSerialPortClass = {0x6FDE7521, 0x1B65, 0x48AE, {0xB6, 0x28, 0x80, 0xBE, 0x62, 0x01, 0x60, 0x26}};
constexpr DWORD kIoctlGetInformation = 0x222002;
constexpr DWORD kInformationSize = 520;

HANDLE AsHandle(PortHandle h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

struct DevInfoSet {
    HDEVINFO info;
};

DevInfoSet* GetSerialPortClassDevs()
{
    HDEVINFO info = ::SetupDiGetClassDevsW(&kSerialPortClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return new DevInfoSet{info};
}

InterfaceResult GetSerialPortInterface(DevInfoSet* set, std::uint32_t index, std::u16string& devicePath)
{
    SP_DEVICE_INTERFACE_DATA data {};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(set->info, nullptr, &kSerialPortClass, index, &data)) {
        return InterfaceResult::Missing;
    }
    DWORD required = 0;
    (void)::SetupDiGetDeviceInterfaceDetailW(set->info, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return InterfaceResult::DetailFailed;
    }
    std::vector<unsigned char> storage(required, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);  // the record header: 8 on 64-bit
    if (!::SetupDiGetDeviceInterfaceDetailW(set->info, &data, detail, required, nullptr, nullptr)) {
        return InterfaceResult::DetailFailed;
    }
    devicePath = reinterpret_cast<const char16_t*>(detail->DevicePath);
    return InterfaceResult::Ok;
}

PortHandle OpenPortDevice(const std::u16string& devicePath)
{
    HANDLE h = ::CreateFileW(reinterpret_cast<LPCWSTR>(devicePath.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidPort : reinterpret_cast<PortHandle>(h);
}

bool QueryHostPortIndex(PortHandle port, std::uint32_t& hostIndex)
{
    // The handle is opened for overlapped I/O: the request needs its own OVERLAPPED record,
    // and when the driver pends it the buffer must outlive the request, so it is waited for.
    unsigned char info[kInformationSize] = {};
    OVERLAPPED overlapped {};
    overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    DWORD returned = 0;
    BOOL ok = ::DeviceIoControl(AsHandle(port), kIoctlGetInformation, nullptr, 0, info, kInformationSize, &returned,
                                &overlapped);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
        ok = ::GetOverlappedResult(AsHandle(port), &overlapped, &returned, TRUE);
    }
    const DWORD error = ::GetLastError();
    (void)::CloseHandle(overlapped.hEvent);
    if (!ok) {
        ::SetLastError(error);
        return false;
    }
    hostIndex = static_cast<std::uint32_t>(info[0]) | static_cast<std::uint32_t>(info[1]) << 8 |
                static_cast<std::uint32_t>(info[2]) << 16 | static_cast<std::uint32_t>(info[3]) << 24;
    return true;
}

void ClosePort(PortHandle port) { (void)::CloseHandle(AsHandle(port)); }

bool DestroyClassDevs(DevInfoSet* set)
{
    const bool ok = ::SetupDiDestroyDeviceInfoList(set->info) != FALSE;
    delete set;
    return ok;
}

struct PortIo::Impl {
    OVERLAPPED overlapped {};
    HANDLE port = INVALID_HANDLE_VALUE;
    bool pending = false;

    ~Impl()
    {
        if (pending) {
            // Never let the record and the caller's buffer go while the driver may still
            // write into them.
            DWORD n = 0;
            (void)::CancelIoEx(port, &overlapped);
            (void)::GetOverlappedResult(port, &overlapped, &n, TRUE);
        }
        if (overlapped.hEvent != nullptr) {
            (void)::CloseHandle(overlapped.hEvent);
        }
    }
};

PortIo::PortIo() : impl_(std::make_unique<Impl>()) {}
PortIo::~PortIo() = default;

bool PortIo::MakeEvent()
{
    impl_->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (impl_->overlapped.hEvent == nullptr) {
        error_ = ::GetLastError();
        return false;
    }
    return true;
}

PortIo::Start PortIo::Read(PortHandle port, void* buffer, std::uint32_t length, std::uint32_t& done)
{
    impl_->port = AsHandle(port);
    DWORD n = 0;
    if (::ReadFile(impl_->port, buffer, length, &n, &impl_->overlapped)) {
        done = n;
        return Start::Completed;
    }
    error_ = ::GetLastError();
    if (error_ != ERROR_IO_PENDING) {
        return Start::Failed;
    }
    impl_->pending = true;
    return Start::Pending;
}

PortIo::Start PortIo::Write(PortHandle port, const void* buffer, std::uint32_t length, std::uint32_t& done)
{
    impl_->port = AsHandle(port);
    DWORD n = 0;
    if (::WriteFile(impl_->port, buffer, length, &n, &impl_->overlapped)) {
        done = n;
        return Start::Completed;
    }
    error_ = ::GetLastError();
    if (error_ != ERROR_IO_PENDING) {
        return Start::Failed;
    }
    impl_->pending = true;
    return Start::Pending;
}

bool PortIo::Wait(std::uint32_t& done)
{
    DWORD n = 0;
    if (::GetOverlappedResult(impl_->port, &impl_->overlapped, &n, TRUE)) {
        impl_->pending = false;
        done = n;
        return true;
    }
    error_ = ::GetLastError();
    impl_->pending = false;  // the wait returned: the operation has completed (with an error)
    return false;
}

bool PortIo::WaitFor(std::uint32_t timeoutMs, std::uint32_t& done)
{
    DWORD n = 0;
    if (::GetOverlappedResultEx(impl_->port, &impl_->overlapped, &n, timeoutMs, TRUE)) {
        impl_->pending = false;
        done = n;
        return true;
    }
    error_ = ::GetLastError();
    if (error_ != WAIT_TIMEOUT && error_ != WAIT_IO_COMPLETION) {
        impl_->pending = false;
    }
    return false;
}

bool PortIo::CancelAndFinish(std::uint32_t& done)
{
    (void)::CancelIo(impl_->port);
    DWORD n = 0;
    const BOOL ok = ::GetOverlappedResult(impl_->port, &impl_->overlapped, &n, TRUE);
    impl_->pending = false;
    if (ok) {
        done = n;
        return true;
    }
    return false;
}

bool CancelAllIo(PortHandle port) { return ::CancelIoEx(AsHandle(port), nullptr) != FALSE; }

bool PurgePort(PortHandle port)
{
    return ::PurgeComm(AsHandle(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

}  // namespace quor::platform
