// The test side of the user-mode kernel shim: the I/O manager, process manager, configuration
// manager and debugger as seen from the tests.
#pragma once

#include "ntshim.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace shim {

// Forgets every object, name, registration, log line, fault and injected failure.
void Reset();

// ---- debugger -----------------------------------------------------------------------------

// Every DbgPrint call, formatted, one entry per call.
std::vector<std::string> Log();
bool LogHas(const std::string& text);                // an entry equal to text
size_t LogCount(const std::string& part);            // entries containing part
void ClearLog();
// Slows every DbgPrint down (a slow debugger connection), to widen race windows.
void SetDebugPrintDelay(std::chrono::microseconds delay);

// ---- scheduling ----------------------------------------------------------------------------

// Makes a thread that releases a spin lock (back to PASSIVE_LEVEL) lose the processor for the
// given time, as preemption can do right after a lock is dropped; widens race windows.
void SetPreemptionAfterUnlock(std::chrono::microseconds delay);
// Makes every spin-lock holder keep the lock this long after acquiring it (a slow critical
// section while other processors run on), to widen race windows.
void SetLockHoldTime(std::chrono::microseconds time);

// ---- faults -------------------------------------------------------------------------------

// Conditions the kernel stops the machine for (completing a request twice or with a cancel
// routine set, waiting at DISPATCH_LEVEL, Unicode output above PASSIVE_LEVEL, freeing unknown
// pool, unloading with devices or callbacks left, ...). Empty when the driver behaved.
std::vector<std::string> Faults();

// ---- pool ---------------------------------------------------------------------------------

size_t OutstandingAllocations();
size_t OutstandingAllocations(ULONG tag);
// The nth allocation from now whose tag matches (0 matches any tag) fails.
void FailAllocation(ULONG tag, int nth = 1);

// ---- object names -------------------------------------------------------------------------

// Occupies a device or link name as if another driver owned it.
void ReserveName(const std::u16string& name);
bool NameExists(const std::u16string& name);
// Target of a link, empty if name is not a link.
std::u16string LinkTarget(const std::u16string& name);

// ---- registrations ------------------------------------------------------------------------

void FailNextProcessNotifyRegistration(NTSTATUS status);
void FailNextRegistryRegistration(NTSTATUS status);
size_t ProcessNotifyRoutineCount();
size_t RegistryCallbackCount();
std::u16string LastRegistryAltitude();

// ---- driver -------------------------------------------------------------------------------

struct Driver;
// Calls the entry routine with a fresh driver object; on failure the object is kept until
// Reset and nothing may remain registered or created.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, Driver** driver);
void UnloadDriver(Driver* driver);
PDRIVER_OBJECT DriverObjectOf(Driver* driver);

// ---- requests from user mode --------------------------------------------------------------

class Request {
public:
    // Waits for completion; false on time-out.
    bool Wait(std::chrono::milliseconds timeout);
    bool Completed();
    NTSTATUS Status();
    ULONG_PTR Information();
    // Bytes copied back to the caller's output buffer (buffered I/O).
    std::vector<uint8_t> Output();
    // What the dispatch routine returned (STATUS_PENDING while still parked).
    NTSTATUS DispatchStatus();
    // The thread that completed the request.
    std::thread::id CompletedBy();

    struct State;
    explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}
    const std::shared_ptr<State>& state() const { return state_; }

private:
    std::shared_ptr<State> state_;
};
using RequestPtr = std::shared_ptr<Request>;

// Opens a device by device or link name (IRP_MJ_CREATE); *device is null on failure.
NTSTATUS Open(const std::u16string& name, PDEVICE_OBJECT* device);
// IRP_MJ_CLOSE.
NTSTATUS Close(PDEVICE_OBJECT device);
// A buffered device-control request with a system buffer of max(input, output) bytes.
RequestPtr DeviceIoControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                           ULONG outputLength);
// The same without a system buffer (both lengths 0).
RequestPtr DeviceIoControlNoBuffer(PDEVICE_OBJECT device, ULONG code);
// IoCancelIrp: true if the request was still outstanding.
bool Cancel(const RequestPtr& request);

// ---- process manager and configuration manager --------------------------------------------

// Runs the creation notify routines for a new process; returns the resulting creation status.
NTSTATUS CreateProcess(const std::u16string& image, uint64_t processId, uint64_t parentId);
// Runs the notify routines for a process exit (no creation information).
void ExitProcess(uint64_t processId);
// Runs the registry callbacks for a value write to key (full object name) and returns the last
// callback's status. For RegNtPostSetValueKey the argument is the post-operation record,
// for other classes the set-value record.
NTSTATUS SetRegistryValue(const std::u16string& key, const std::u16string& valueName,
                          REG_NOTIFY_CLASS notifyClass = RegNtPostSetValueKey);

// ---- helpers ------------------------------------------------------------------------------

std::string ToUtf8(const std::u16string& text);

}  // namespace shim
