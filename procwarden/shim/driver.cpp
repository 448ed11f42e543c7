// Kernel shim: loading and unloading the driver, and forgetting everything between tests.
#include "procwarden/shim/shim_internal.h"

#include <cstring>

using namespace shim::internal;

namespace shim {

struct Driver {
    DRIVER_OBJECT* object;
};

namespace {

std::mutex g_driversMutex;
std::vector<std::unique_ptr<DRIVER_OBJECT>> g_drivers;
std::vector<std::unique_ptr<Driver>> g_driverHandles;

// After a failed start or an unload nothing of the driver may remain: the image is about to go.
void CheckNothingLeft(PDRIVER_OBJECT object, const char* when) {
    if (object->DeviceObject != nullptr) Fault(std::string("devices left behind ") + when);
    std::string what;
    if (!NothingRegistered(&what)) Fault(what + " left registered " + when);
    if (OpenKernelHandles() != 0) Fault(std::string("kernel handles left open ") + when);
}

}  // namespace

void Reset() {
    ResetFaults();
    ResetDebugger();
    ResetScheduling();
    ResetDispatcher();
    ResetPool();
    ResetIo();
    ResetObjects();
    ResetNotify();
    std::lock_guard<std::mutex> lock(g_driversMutex);
    g_drivers.clear();
    g_driverHandles.clear();
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, Driver** driver) {
    auto object = std::make_unique<DRIVER_OBJECT>();
    std::memset(object.get(), 0, sizeof(DRIVER_OBJECT));
    for (auto& dispatch : object->MajorFunction) dispatch = InvalidDeviceRequest;
    WCHAR path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\procwarden";
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path);
    const NTSTATUS status = entry(object.get(), &registryPath);
    if (!NT_SUCCESS(status)) {
        CheckNothingLeft(object.get(), "by a failed start");
    }
    auto handle = std::make_unique<Driver>(Driver{object.get()});
    *driver = handle.get();
    std::lock_guard<std::mutex> lock(g_driversMutex);
    g_drivers.push_back(std::move(object));
    g_driverHandles.push_back(std::move(handle));
    return status;
}

void UnloadDriver(Driver* driver) {
    if (driver->object->DriverUnload != nullptr) {
        driver->object->DriverUnload(driver->object);
    }
    CheckNothingLeft(driver->object, "by unload");
}

PDRIVER_OBJECT DriverObjectOf(Driver* driver) { return driver->object; }

}  // namespace shim
