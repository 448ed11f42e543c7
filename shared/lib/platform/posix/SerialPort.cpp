// The simulated virtio-serial driver: discovery of the ports present on the simulated
// machine and their handles. The interfaces are the machine's serial ports in order (a
// port plugged in later is appended). Opening port N makes the driver listen on its socket
// (SimSerialPort.h); a port is opened without sharing, so a second open fails with 5.
// Fault points: "SerialPort.SetupDiGetClassDevsW", "SerialPort.SetupDiEnumDeviceInterfaces",
// "SerialPort.SetupDiGetDeviceInterfaceDetailW", "SerialPort.CreateFileW",
// "SerialPort.DeviceIoControl" (the information request), "SerialPort.SetupDiDestroyDeviceInfoList".
#include "shared/lib/platform/SerialPort.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "shared/lib/platform/posix/SimSerialPort.h"

namespace quor::platform {

namespace {

std::mutex g_openMutex;
std::map<std::uint32_t, PortHandle> g_openPorts;  // no sharing: one open handle per port

}  // namespace

struct DevInfoSet {
    std::vector<std::uint32_t> ports;
};

DevInfoSet* GetSerialPortClassDevs()
{
    if (sim::FailsAt("SerialPort.SetupDiGetClassDevsW")) {
        return nullptr;
    }
    auto* set = new DevInfoSet;
    set->ports = sim::SimMachine::Get().SerialPorts();
    return set;
}

InterfaceResult GetSerialPortInterface(DevInfoSet* set, std::uint32_t index, std::u16string& devicePath)
{
    if (index >= set->ports.size()) {
        sim::SetLastError(kErrorNoMoreItems);
        return InterfaceResult::Missing;
    }
    if (sim::FailsAt("SerialPort.SetupDiEnumDeviceInterfaces")) {
        return InterfaceResult::Missing;
    }
    if (sim::FailsAt("SerialPort.SetupDiGetDeviceInterfaceDetailW")) {
        return InterfaceResult::DetailFailed;
    }
    devicePath = sim::SerialPortInterfacePath(set->ports[index]);
    return InterfaceResult::Ok;
}

PortHandle OpenPortDevice(const std::u16string& devicePath)
{
    const std::string narrow(devicePath.begin(), devicePath.end());
    const auto at = narrow.rfind("port");
    if (at == std::string::npos || narrow.size() == at + 4 || narrow.size() > at + 13 ||
        narrow.find_first_not_of("0123456789", at + 4) != std::string::npos) {
        sim::SetLastError(kErrorFileNotFound);
        return kInvalidPort;
    }
    if (sim::FailsAt("SerialPort.CreateFileW")) {
        return kInvalidPort;
    }
    const auto index = static_cast<std::uint32_t>(std::stoul(narrow.substr(at + 4)));
    {
        std::lock_guard<std::mutex> g(g_openMutex);
        if (!g_openPorts.emplace(index, kInvalidPort).second) {
            sim::SetLastError(kErrorAccessDenied);
            return kInvalidPort;
        }
    }
    auto* port = new sim::SimPort;
    port->index = index;
    {
        std::lock_guard<std::mutex> g(g_openMutex);
        g_openPorts[index] = reinterpret_cast<PortHandle>(port);
    }
    if (!port->Start()) {
        std::lock_guard<std::mutex> g(g_openMutex);
        g_openPorts.erase(index);
        delete port;
        return kInvalidPort;
    }
    return reinterpret_cast<PortHandle>(port);
}

PortHandle sim::OpenSerialPort(std::uint32_t hostIndex)
{
    std::lock_guard<std::mutex> g(g_openMutex);
    const auto it = g_openPorts.find(hostIndex);
    return it != g_openPorts.end() ? it->second : kInvalidPort;
}

bool QueryHostPortIndex(PortHandle port, std::uint32_t& hostIndex)
{
    if (port == kInvalidPort || port == 0) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (sim::FailsAt("SerialPort.DeviceIoControl")) {
        return false;
    }
    hostIndex = sim::AsPort(port)->index;
    return true;
}

void ClosePort(PortHandle h)
{
    if (h == kInvalidPort || h == 0) {
        return;
    }
    sim::SimPort* port = sim::AsPort(h);
    port->Stop();
    {
        std::lock_guard<std::mutex> g(g_openMutex);
        g_openPorts.erase(port->index);
    }
    delete port;
}

bool DestroyClassDevs(DevInfoSet* set)
{
    delete set;
    return !sim::FailsAt("SerialPort.SetupDiDestroyDeviceInfoList");
}

}  // namespace quor::platform
