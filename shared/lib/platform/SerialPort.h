// Platform seam: the virtio-serial driver's device interface and overlapped I/O on it.
// win32: SetupDi enumeration, CreateFileW, DeviceIoControl, ReadFile/WriteFile with an
// OVERLAPPED record. posix: the simulation (Unix sockets under $QUOR_SIM_DIR).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/WinErrors.h"

namespace quor::platform {

using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;


// --- discovery ------------------------------------------------------------------------
struct DevInfoSet;
// SetupDiGetClassDevsW(serial port class, no enumerator, no window, 0x12); null on failure.
DevInfoSet* GetSerialPortClassDevs();
enum class InterfaceResult { Missing, DetailFailed, Ok };
// SetupDiEnumDeviceInterfaces + SetupDiGetDeviceInterfaceDetailW for one interface index.
InterfaceResult GetSerialPortInterface(DevInfoSet* set, std::uint32_t index, std::u16string& devicePath);
// CreateFileW(read|write, no sharing, OPEN_EXISTING, FILE_FLAG_OVERLAPPED).
PortHandle OpenPortDevice(const std::u16string& devicePath);
// IOCTL_GET_INFORMATION (0x222002) into 520 bytes with an OVERLAPPED record, waited for
// when the driver pends it; the host index is in bytes 0..3.
bool QueryHostPortIndex(PortHandle port, std::uint32_t& hostIndex);
void ClosePort(PortHandle port);
bool DestroyClassDevs(DevInfoSet* set);

// --- overlapped I/O -------------------------------------------------------------------
// One operation: its own OVERLAPPED record and manual-reset event. The destructor makes
// sure the operation has finished before the record and the caller's buffer go away.
class PortIo {
public:
    enum class Start { Completed, Pending, Failed };

    PortIo();
    ~PortIo();
    PortIo(const PortIo&) = delete;
    PortIo& operator=(const PortIo&) = delete;

    // CreateEventW(manual reset, non-signalled, unnamed).
    bool MakeEvent();
    Start Read(PortHandle port, void* buffer, std::uint32_t length, std::uint32_t& done);
    Start Write(PortHandle port, const void* buffer, std::uint32_t length, std::uint32_t& done);
    // GetOverlappedResult(wait) / GetOverlappedResultEx(time-out, alertable); on failure
    // Error() tells why (258 for a time-out).
    bool Wait(std::uint32_t& done);
    bool WaitFor(std::uint32_t timeoutMs, std::uint32_t& done);
    // CancelIo, then waits until the operation has finished. Returns true with `done`
    // set when it completed after all (it raced the cancellation).
    bool CancelAndFinish(std::uint32_t& done);
    std::uint32_t Error() const { return error_; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::uint32_t error_ = 0;
};

// CancelIoEx(port, nullptr): cancels every pending operation from any thread.
bool CancelAllIo(PortHandle port);
// PurgeComm(port, PURGE_TXABORT|PURGE_RXABORT|PURGE_TXCLEAR|PURGE_RXCLEAR).
bool PurgePort(PortHandle port);

}  // namespace quor::platform
