// The simulated virtio-fs device: the Unix stream socket $QUOR_SIM_DIR/viofs, on which
// the host's back end listens. The interface is present while the machine has the device
// plugged in and that socket exists. Opening the device connects; one request writes the
// request bytes and reads back the device's answer, a 16-byte FUSE reply header. A host
// that answers fewer bytes closes the connection after them.
// Fault points: "VirtioFs.SetupDiGetClassDevsW", "VirtioFs.SetupDiGetDeviceInterfaceDetailW",
// "VirtioFs.DeviceIoControl".
#include "shared/lib/platform/VirtioFs.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

std::string SocketPath() { return VirtioFsSocket(); }
}  // namespace

struct FsDevInfoSet {
    bool present;
};

FsDevInfoSet* GetVirtioFsClassDevs()
{
    if (sim::FailsAt("VirtioFs.SetupDiGetClassDevsW")) {
        return nullptr;
    }
    struct stat st {};
    return new FsDevInfoSet{sim::SimMachine::Get().VirtioFsPresent() && ::stat(SocketPath().c_str(), &st) == 0 &&
                            S_ISSOCK(st.st_mode)};
}

FsInterfaceResult GetVirtioFsInterface(FsDevInfoSet* set, std::uint32_t index, std::u16string& devicePath)
{
    if (!set->present || index != 0) {
        sim::SetLastError(kErrorNoMoreItems);
        return FsInterfaceResult::Missing;
    }
    if (sim::FailsAt("VirtioFs.SetupDiGetDeviceInterfaceDetailW")) {
        return FsInterfaceResult::DetailFailed;
    }
    devicePath = sim::VirtioFsInterfacePath();
    return FsInterfaceResult::Ok;
}

FsDeviceHandle OpenFsDevice(const std::u16string& devicePath)
{
    const std::string path(devicePath.begin(), devicePath.end());
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        sim::SetLastError(kErrorFileNotFound);
        return kInvalidFsDevice;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        sim::SetLastError(kErrorGenFailure);
        return kInvalidFsDevice;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        sim::SetLastError(kErrorFileNotFound);
        return kInvalidFsDevice;
    }
    return static_cast<FsDeviceHandle>(fd);
}

bool DestroyFsClassDevs(FsDevInfoSet* set)
{
    delete set;
    return true;
}

void CloseFsDevice(FsDeviceHandle device) { ::close(static_cast<int>(device)); }

bool FsDeviceControl(FsDeviceHandle device, const void* in, std::uint32_t inLength, void* out,
                     std::uint32_t outCapacity, std::uint32_t& returned)
{
    returned = 0;
    if (device == kInvalidFsDevice) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (sim::FailsAt("VirtioFs.DeviceIoControl")) {
        return false;
    }
    const int fd = static_cast<int>(device);
    const auto* p = static_cast<const unsigned char*>(in);
    std::uint32_t sent = 0;
    while (sent < inLength) {
        const ssize_t n = ::send(fd, p + sent, inLength - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            sim::SetLastError(kErrorDeviceNotConnected);
            return false;
        }
        sent += static_cast<std::uint32_t>(n);
    }
    auto* o = static_cast<unsigned char*>(out);
    while (returned < outCapacity) {
        const ssize_t n = ::recv(fd, o + returned, outCapacity - returned, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        returned += static_cast<std::uint32_t>(n);
    }
    if (returned == 0) {
        sim::SetLastError(kErrorDeviceNotConnected);
        return false;
    }
    return true;
}

}  // namespace quor::platform
