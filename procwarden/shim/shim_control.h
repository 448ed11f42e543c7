// The test side of the user-mode kernel shim: the I/O manager, process manager, configuration
// manager and debugger as seen from the tests.
#pragma once

#include "procwarden/shim/ntshim.h"

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

// ---- time ---------------------------------------------------------------------------------

// Waits with a time-out run on a virtual clock that only moves when a test advances it: a
// time-out expires when the clock has passed it, never because the machine was slow.
void AdvanceTime(std::chrono::milliseconds by);
// Threads now blocked in KeWaitForSingleObject (with or without a time-out).
size_t BlockedWaiters();
// Of those, the ones waiting with a time-out.
size_t TimedWaiters();

// ---- faults -------------------------------------------------------------------------------

// Conditions the kernel stops the machine for (completing a request twice or with a cancel
// routine set, waiting at DISPATCH_LEVEL, Unicode output above PASSIVE_LEVEL, freeing unknown
// pool, unloading with devices, callbacks or handles left, a handle whose request outlives its
// cleanup, ...). Empty when the driver behaved.
//
// Memory the kernel documents as pageable (the image name of a process creation, the value
// name of a registry write) is kept in pages of its own that are made inaccessible while the
// thread that was handed it holds a spin lock: a touch at DISPATCH_LEVEL ends the test
// process with "pageable memory touched at DISPATCH_LEVEL", as the kernel would bugcheck.
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

// Who opens a device: the process and whether its token holds the Administrators group
// (SYSTEM and elevated administrators do; an ordinary user does not).
inline constexpr uint64_t kServiceProcessId = 900;
struct Opener {
    uint64_t processId = kServiceProcessId;
    bool administrator = true;
};

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

// Opens a device by device or link name, optionally with a path below the device (as in
// \\.\device\path), and returns the new handle's file object (null on failure). As the I/O
// manager does, the device's DACL is checked first (for a path below the device only when the
// device has FILE_DEVICE_SECURE_OPEN); then IRP_MJ_CREATE runs in the opener's process with
// its token in the access state.
NTSTATUS Open(const std::u16string& name, PFILE_OBJECT* handle, const Opener& opener = {},
              const std::u16string& path = u"");
// Closes a handle as the I/O manager does: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no request
// issued on the handle is outstanding (each holds a reference on the file object). A request
// that the driver does not complete after cleanup means IRP_MJ_CLOSE never comes: after a
// bounded wait that is recorded as a fault, and STATUS_PENDING is returned without a close.
NTSTATUS Close(PFILE_OBJECT handle);
// A buffered device-control request with a system buffer of max(input, output) bytes, filled
// with 0xCD beyond the input (pool is not zeroed), issued in the handle's process.
RequestPtr DeviceIoControl(PFILE_OBJECT handle, ULONG code, const std::vector<uint8_t>& input,
                           ULONG outputLength);
// The same without a system buffer (both lengths 0).
RequestPtr DeviceIoControlNoBuffer(PFILE_OBJECT handle, ULONG code);
// Every ZwSetSecurityObject from now on fails with this status (until Reset).
void FailSecurityChanges(NTSTATUS status);
// IoCancelIrp: true if the request was still outstanding.
bool Cancel(const RequestPtr& request);

// ---- process manager and configuration manager --------------------------------------------

// Runs the creation notify routines for a new process in the creating process (the parent
// unless given); returns the resulting creation status.
NTSTATUS CreateProcess(const std::u16string& image, uint64_t processId, uint64_t parentId,
                       uint64_t creatorId = 0);
// Runs the notify routines for a process exit (no creation information).
void ExitProcess(uint64_t processId);
// Runs the registry callbacks for a value write to key (full object name) and returns the last
// callback's status. For RegNtPostSetValueKey the argument is the post-operation record with
// the write's outcome `writeStatus` (after a failed write its key object is not valid), for
// other classes the set-value record.
NTSTATUS SetRegistryValue(const std::u16string& key, const std::u16string& valueName,
                          REG_NOTIFY_CLASS notifyClass = RegNtPostSetValueKey,
                          NTSTATUS writeStatus = STATUS_SUCCESS);
// While held, ObQueryNameString blocks its caller until released (a registry callout caught
// in the middle of its work).
void HoldNameQueries(bool hold);
size_t HeldNameQueries();
// Calls that remove a notify routine or registry callback and are waiting for callouts still
// running to finish.
size_t RemovalsWaitingForCallouts();

// ---- helpers ------------------------------------------------------------------------------

std::string ToUtf8(const std::u16string& text);

}  // namespace shim
