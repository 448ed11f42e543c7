// Platform seam: the virtio-fs device. win32: SetupDi enumeration of the virtio-fs
// interface class, CreateFileW (synchronous), DeviceIoControl(0x0022E004).
// posix: the simulation's Unix socket $QUOR_SIM_DIR/viofs, where the host back end listens.
#pragma once

#include <cstdint>
#include <string>

#include "shared/lib/platform/LastError.h"

namespace quor::platform {

using FsDeviceHandle = std::intptr_t;
inline constexpr FsDeviceHandle kInvalidFsDevice = -1;

struct FsDevInfoSet;
FsDevInfoSet* GetVirtioFsClassDevs();
enum class FsInterfaceResult { Missing, DetailFailed, Ok };
FsInterfaceResult GetVirtioFsInterface(FsDevInfoSet* set, std::uint32_t index, std::u16string& devicePath);
FsDeviceHandle OpenFsDevice(const std::u16string& devicePath);
bool DestroyFsClassDevs(FsDevInfoSet* set);
void CloseFsDevice(FsDeviceHandle device);
// DeviceIoControl(device, 0x0022E004, in, inLength, out, outCapacity, &returned, no overlap).
bool FsDeviceControl(FsDeviceHandle device, const void* in, std::uint32_t inLength, void* out,
                     std::uint32_t outCapacity, std::uint32_t& returned);

}  // namespace quor::platform
