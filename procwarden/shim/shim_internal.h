// What the sections of the kernel shim share among themselves (not for the tests or the
// driver). One section per file: faults, irql (spin locks, pageable memory), dispatcher
// (events, waits, virtual clock), debugger, pool, strings, objects (names, devices, links,
// handles, security), io (requests), notify (process and registry notifications), driver
// (load, unload, reset).
#pragma once

#include "procwarden/shim/shim_control.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace shim::internal {

// ---- faults.cpp
void Fault(const std::string& what);
[[noreturn]] void FatalFault(const char* what);
void ResetFaults();

// ---- irql.cpp
KIRQL CurrentIrql();
KIRQL AcquireSpin(PKSPIN_LOCK lock);
void ReleaseSpin(PKSPIN_LOCK lock, KIRQL newIrql);
ULONG_PTR ThreadToken();
extern KSPIN_LOCK g_cancelSpinLock;
void ResetScheduling();

// Memory the kernel may page out, handed to the current thread's callouts; see Faults().
class PageableBuffer {
public:
    explicit PageableBuffer(size_t bytes);
    ~PageableBuffer();
    PageableBuffer(const PageableBuffer&) = delete;
    PageableBuffer& operator=(const PageableBuffer&) = delete;
    void* data() const { return data_; }

private:
    void* data_;
    size_t mapped_;
};
// A counted UTF-16 string in pageable memory.
struct PageableString {
    explicit PageableString(const std::u16string& text);
    PageableBuffer buffer;
    UNICODE_STRING value;
};

// ---- dispatcher.cpp
void ResetDispatcher();

// ---- debugger.cpp
void AppendUtf8(std::string& out, const WCHAR* units, size_t count);
void ResetDebugger();

// ---- pool.cpp
void ResetPool();

// ---- strings.cpp
std::u16string FromCounted(PCUNICODE_STRING s);
std::u16string Fold(const std::u16string& name);

// ---- objects.cpp
struct HandleRecord {
    Opener opener;
    bool closed = false;
};
// Resolves a device or link name to a device (null if none).
PDEVICE_OBJECT ResolveDevice(const std::u16string& name);
// The I/O manager's access check of an open against the device's DACL.
bool AccessAllowed(PDEVICE_OBJECT device, const Opener& opener, bool pathBelowDevice);
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, const Opener& opener, const std::u16string& path);
void DeleteFileObject(PFILE_OBJECT file);
// Null (and a fault) for a handle that is not open.
const HandleRecord* FindHandle(PFILE_OBJECT file);
void MarkClosed(PFILE_OBJECT file);
size_t OpenKernelHandles();
PACCESS_TOKEN NewToken(bool administrator);
void DeleteToken(PACCESS_TOKEN token);
void ResetObjects();
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp);

// ---- io.cpp
void ResetIo();

// ---- notify.cpp
// The process the calling thread runs in, as PsGetCurrentProcessId reports it.
void SetCurrentProcess(uint64_t processId);
uint64_t CurrentProcess();
void ResetNotify();
bool NothingRegistered(std::string* what);

}  // namespace shim::internal
