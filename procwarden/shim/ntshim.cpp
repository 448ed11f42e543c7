// User-mode kernel shim (see ntshim.h and shim_control.h).
#include "shim_control.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

// ---- faults -------------------------------------------------------------------------------

std::mutex g_faultMutex;
std::vector<std::string> g_faults;

void Fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_faults.push_back(what);
}

[[noreturn]] void FatalFault(const char* what) {
    std::fprintf(stderr, "kernel shim: fatal fault: %s\n", what);
    std::abort();
}

// ---- IRQL and spin locks ------------------------------------------------------------------

thread_local KIRQL t_irql = PASSIVE_LEVEL;
std::atomic<int64_t> g_preemptionUs{0};
std::atomic<int64_t> g_lockHoldUs{0};
thread_local char t_threadToken;  // its address identifies the thread as a lock owner

ULONG_PTR ThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_threadToken); }

KIRQL AcquireSpin(PKSPIN_LOCK lock) {
    const KIRQL old = t_irql;
    if (old > DISPATCH_LEVEL) {
        Fault("spin lock acquired above DISPATCH_LEVEL");
    }
    const ULONG_PTR me = ThreadToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        FatalFault("spin lock acquired recursively (deadlock)");
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
    }
    t_irql = DISPATCH_LEVEL;
    const int64_t hold = g_lockHoldUs.load();
    if (hold > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(hold));
    }
    return old;
}

void ReleaseSpin(PKSPIN_LOCK lock, KIRQL newIrql) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != ThreadToken()) {
        Fault("spin lock released by a thread that does not hold it");
        return;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    t_irql = newIrql;
    const int64_t preemption = g_preemptionUs.load();
    if (preemption > 0 && newIrql == PASSIVE_LEVEL) {
        std::this_thread::sleep_for(std::chrono::microseconds(preemption));
    }
}

KSPIN_LOCK g_cancelSpinLock = 0;

// ---- dispatcher (events) ------------------------------------------------------------------

std::mutex g_dispatcherMutex;
std::condition_variable g_dispatcherCv;

// ---- debugger -----------------------------------------------------------------------------

std::mutex g_logMutex;
std::vector<std::string> g_log;
std::atomic<int64_t> g_printDelayUs{0};

void AppendUtf8(std::string& out, const WCHAR* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

// The kernel's DbgPrint conversions: the C ones plus %wZ (counted UTF-16 string) and %ws / %ls
// / %S (terminated UTF-16 string). Unicode conversions are only allowed at PASSIVE_LEVEL.
std::string FormatDbg(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        std::string directive = "%";
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) directive += *p++;
        if (*p == '*') {
            directive += std::to_string(va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') directive += *p++;
        if (*p == '.') {
            directive += *p++;
            if (*p == '*') {
                directive += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') directive += *p++;
        }
        enum { kInt, kLong, kLongLong, kSize, kShort, kWide } length = kInt;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            length = kLongLong;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = kLongLong;
            p += 2;
        } else if (*p == 'l') {
            length = kLong;
            ++p;
        } else if (*p == 'h') {
            length = kShort;
            ++p;
        } else if (*p == 'z' || *p == 'I') {
            length = kSize;
            ++p;
        } else if (*p == 'w') {
            length = kWide;
            ++p;
        }
        const char conversion = *p;
        char buffer[128];
        const bool unicode = conversion == 'Z' || conversion == 'S' ||
                             ((length == kWide || length == kLong) && (conversion == 's' || conversion == 'c'));
        if (unicode && t_irql != PASSIVE_LEVEL) {
            Fault(std::string("DbgPrint with a Unicode conversion above PASSIVE_LEVEL: ") + format);
        }
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                const bool isSigned = conversion == 'd' || conversion == 'i';
                if (length == kLongLong || length == kSize || length == kLong) {
                    // ULONG is 32 bits in the kernel, so %ld takes an int-sized argument.
                    if (length == kLong) {
                        directive += conversion;
                        std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, int));
                    } else {
                        directive += "ll";
                        directive += conversion;
                        if (isSigned) {
                            std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, long long));
                        } else {
                            std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, unsigned long long));
                        }
                    }
                } else {
                    directive += conversion;
                    std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, int));
                }
                out += buffer;
                break;
            }
            case 'p':
                std::snprintf(buffer, sizeof(buffer), "%p", va_arg(args, void*));
                out += buffer;
                break;
            case 'c':
                if (length == kWide || length == kLong) {
                    const WCHAR c = static_cast<WCHAR>(va_arg(args, int));
                    AppendUtf8(out, &c, 1);
                } else {
                    out += static_cast<char>(va_arg(args, int));
                }
                break;
            case 's':
                if (length == kWide || length == kLong) {
                    const WCHAR* s = va_arg(args, const WCHAR*);
                    if (s == nullptr) {
                        out += "(null)";
                    } else {
                        size_t n = 0;
                        while (s[n] != 0) ++n;
                        AppendUtf8(out, s, n);
                    }
                } else {
                    const char* s = va_arg(args, const char*);
                    out += s != nullptr ? s : "(null)";
                }
                break;
            case 'S': {
                const WCHAR* s = va_arg(args, const WCHAR*);
                size_t n = 0;
                while (s != nullptr && s[n] != 0) ++n;
                if (s == nullptr) out += "(null)"; else AppendUtf8(out, s, n);
                break;
            }
            case 'Z': {
                const UNICODE_STRING* s = va_arg(args, const UNICODE_STRING*);
                if (s == nullptr || s->Buffer == nullptr) {
                    out += "(null)";
                } else {
                    AppendUtf8(out, s->Buffer, s->Length / sizeof(WCHAR));
                }
                break;
            }
            default:
                Fault(std::string("DbgPrint: unsupported conversion in ") + format);
                out.append(start, p + 1);
                break;
        }
        if (*p == '\0') break;
    }
    return out;
}

// ---- pool ---------------------------------------------------------------------------------

struct PoolBlock {
    ULONG tag;
    SIZE_T size;
};
struct FailRule {
    ULONG tag;
    int countdown;
};
std::mutex g_poolMutex;
std::map<void*, PoolBlock> g_pool;
std::vector<FailRule> g_failRules;

// ---- object names -------------------------------------------------------------------------

struct NameEntry {
    enum Kind { kDevice, kLink, kReserved } kind;
    PDEVICE_OBJECT device;
    std::u16string target;
};
std::mutex g_namesMutex;
std::map<std::u16string, NameEntry> g_names;  // keys folded to upper case
std::map<PDEVICE_OBJECT, std::u16string> g_devices;  // device -> its name (may be empty)

std::u16string Fold(const std::u16string& name) {
    std::u16string folded = name;
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

std::u16string FromCounted(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// ---- registrations ------------------------------------------------------------------------

struct RegistryCallback {
    PEX_CALLBACK_FUNCTION function;
    PVOID context;
    LONGLONG cookie;
};
std::mutex g_regMutex;
std::condition_variable g_regCv;
std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> g_processRoutines;
std::vector<RegistryCallback> g_registryCallbacks;
int g_callouts = 0;  // notify routines and callbacks currently running
NTSTATUS g_failProcessRegistration = STATUS_SUCCESS;
NTSTATUS g_failRegistryRegistration = STATUS_SUCCESS;
std::u16string g_lastAltitude;
LONGLONG g_nextCookie = 1;

// Registry key objects as the configuration manager hands them to callbacks.
constexpr uint32_t kKeyMagic = 0x4B657921;
struct KeyObject {
    uint32_t magic;
    std::u16string name;
};

// ---- drivers ------------------------------------------------------------------------------

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::mutex g_driversMutex;
std::vector<std::unique_ptr<DRIVER_OBJECT>> g_drivers;

}  // namespace

// ---- requests -----------------------------------------------------------------------------

struct shim::Request::State {
    std::mutex mutex;
    std::condition_variable cv;
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    UCHAR majorFunction = 0;
    ULONG outputLength = 0;
    bool completed = false;
    bool markedPending = false;
    bool dispatchReturned = false;
    NTSTATUS dispatchStatus = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
    std::thread::id completedBy;
};

namespace {

std::mutex g_ioMutex;
std::map<PIRP, std::shared_ptr<shim::Request::State>> g_liveIrps;

struct IrpBlock {
    IRP irp;
    IO_STACK_LOCATION stack;
};

std::shared_ptr<shim::Request::State> NewIrp(PDEVICE_OBJECT device, UCHAR major, ULONG code,
                                              const std::vector<uint8_t>* input, ULONG outputLength,
                                              bool withBuffer) {
    auto state = std::make_shared<shim::Request::State>();
    auto* block = static_cast<IrpBlock*>(std::calloc(1, sizeof(IrpBlock)));
    block->irp.StackCount = 1;
    block->irp.CurrentLocation = 1;
    block->irp.Tail.Overlay.CurrentStackLocation = &block->stack;
    block->irp.IoStatus.Status = STATUS_PENDING;
    block->stack.MajorFunction = major;
    block->stack.DeviceObject = device;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        const ULONG inputLength = input != nullptr ? static_cast<ULONG>(input->size()) : 0;
        block->stack.Parameters.DeviceIoControl.IoControlCode = code;
        block->stack.Parameters.DeviceIoControl.InputBufferLength = withBuffer ? inputLength : 0;
        block->stack.Parameters.DeviceIoControl.OutputBufferLength = withBuffer ? outputLength : 0;
        if (withBuffer) {
            const size_t size = std::max<size_t>(std::max<size_t>(inputLength, outputLength), 1);
            auto* buffer = static_cast<uint8_t*>(std::malloc(size));
            std::memset(buffer, 0xCD, size);
            if (inputLength != 0) std::memcpy(buffer, input->data(), inputLength);
            block->irp.AssociatedIrp.SystemBuffer = buffer;
        }
        state->outputLength = withBuffer ? outputLength : 0;
    }
    state->irp = &block->irp;
    state->device = device;
    state->majorFunction = major;
    std::lock_guard<std::mutex> lock(g_ioMutex);
    g_liveIrps[&block->irp] = state;
    return state;
}

NTSTATUS CallDriver(const std::shared_ptr<shim::Request::State>& state) {
    PDEVICE_OBJECT device = state->device;
    PIRP irp = state->irp;
    const NTSTATUS status = device->DriverObject->MajorFunction[state->majorFunction](device, irp);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->dispatchReturned = true;
    state->dispatchStatus = status;
    if (status != STATUS_PENDING && !state->completed) {
        Fault("dispatch returned a final status without completing the request");
    }
    if (status == STATUS_PENDING && state->completed && !state->markedPending) {
        Fault("dispatch returned STATUS_PENDING for a request it did not mark pending");
    }
    if (status != STATUS_PENDING && state->completed && status != state->status) {
        Fault("dispatch returned a status other than the one it completed with");
    }
    return status;
}

}  // namespace

bool shim::Request::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->cv.wait_for(lock, timeout, [&] { return state_->completed; });
}
bool shim::Request::Completed() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->completed;
}
NTSTATUS shim::Request::Status() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->status;
}
ULONG_PTR shim::Request::Information() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->information;
}
std::vector<uint8_t> shim::Request::Output() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->output;
}
NTSTATUS shim::Request::DispatchStatus() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->dispatchStatus;
}
std::thread::id shim::Request::CompletedBy() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->completedBy;
}

// ---- kernel entry points ------------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    if (poolType == PagedPool && t_irql > APC_LEVEL) {
        Fault("paged pool allocated above APC_LEVEL");
    }
    std::lock_guard<std::mutex> lock(g_poolMutex);
    for (auto it = g_failRules.begin(); it != g_failRules.end(); ++it) {
        if (it->tag == 0 || it->tag == tag) {
            if (--it->countdown == 0) {
                g_failRules.erase(it);
                return nullptr;
            }
        }
    }
    void* p = std::malloc(numberOfBytes == 0 ? 1 : numberOfBytes);
    std::memset(p, 0xAB, numberOfBytes);  // pool memory is not zeroed
    g_pool[p] = PoolBlock{tag, numberOfBytes};
    return p;
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    auto it = g_pool.find(p);
    if (it == g_pool.end()) {
        Fault("freeing memory that is not an outstanding pool block");
        return;
    }
    if (it->second.tag != tag) {
        Fault("pool block freed with the wrong tag");
    }
    g_pool.erase(it);
    std::free(p);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) { __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE); }
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock) { return AcquireSpin(spinLock); }
VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) { ReleaseSpin(spinLock, newIrql); }
KIRQL KeGetCurrentIrql() { return t_irql; }

VOID IoAcquireCancelSpinLock(PKIRQL irql) { *irql = AcquireSpin(&g_cancelSpinLock); }
VOID IoReleaseCancelSpinLock(KIRQL irql) { ReleaseSpin(&g_cancelSpinLock, irql); }

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    event->Type = type;
    event->SignalState = state ? 1 : 0;
    event->Generation = 0;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    (void)increment;
    if (wait) {
        Fault("KeSetEvent with Wait=TRUE is not modelled");
    }
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    const LONG previous = event->SignalState;
    event->SignalState = 1;
    ++event->Generation;
    g_dispatcherCv.notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    event->SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    const LONG previous = event->SignalState;
    event->SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    return event->SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
    const bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    if (t_irql >= DISPATCH_LEVEL && !zeroTimeout) {
        Fault("waiting at DISPATCH_LEVEL or above");
    }
    auto* event = static_cast<PRKEVENT>(object);
    std::unique_lock<std::mutex> lock(g_dispatcherMutex);
    const ULONG64 generation = event->Generation;
    auto satisfied = [&] {
        return event->SignalState != 0 || (event->Type == NotificationEvent && event->Generation != generation);
    };
    bool ok;
    if (timeout == nullptr) {
        g_dispatcherCv.wait(lock, satisfied);
        ok = true;
    } else if (timeout->QuadPart < 0) {
        ok = g_dispatcherCv.wait_for(lock, std::chrono::microseconds(-timeout->QuadPart / 10), satisfied);
    } else {
        Fault("absolute wait times are not modelled");
        ok = satisfied();
    }
    if (!ok) {
        return STATUS_TIMEOUT;
    }
    if (event->Type == SynchronizationEvent) {
        event->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t n = 0;
    while (source != nullptr && source[n] != 0) ++n;
    destination->Buffer = const_cast<PWCH>(source);
    destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(source != nullptr ? (n + 1) * sizeof(WCHAR) : 0);
}

static NTSTATUS AppendUnits(PUNICODE_STRING destination, const WCHAR* units, size_t count) {
    const size_t bytes = count * sizeof(WCHAR);
    if (destination->Length + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<uint8_t*>(destination->Buffer) + destination->Length, units, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    // Like the kernel: terminate when there is room.
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    size_t n = 0;
    while (source != nullptr && source[n] != 0) ++n;
    return AppendUnits(destination, source, n);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    return AppendUnits(destination, source->Buffer, source->Length / sizeof(WCHAR));
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    char16_t digits[33];
    size_t n = 0;
    do {
        const ULONG d = value % base;
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + d - 10);
        value /= base;
    } while (value != 0);
    if ((n + 1) * sizeof(WCHAR) > string->MaximumLength && n * sizeof(WCHAR) > string->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) string->Buffer[i] = digits[n - 1 - i];
    string->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if ((n + 1) * sizeof(WCHAR) <= string->MaximumLength) string->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInSensitive) {
    if (a->Length != b->Length) return FALSE;
    for (size_t i = 0; i < a->Length / sizeof(WCHAR); ++i) {
        WCHAR x = a->Buffer[i];
        WCHAR y = b->Buffer[i];
        if (caseInSensitive) {
            if (x >= u'a' && x <= u'z') x = static_cast<WCHAR>(x - u'a' + u'A');
            if (y >= u'a' && y <= u'z') y = static_cast<WCHAR>(y - u'a' + u'A');
        }
        if (x != y) return FALSE;
    }
    return TRUE;
}

ULONG DbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = FormatDbg(format, args);
    va_end(args);
    const int64_t delay = g_printDelayUs.load();
    if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
    }
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(std::move(line));
    return STATUS_SUCCESS;
}

VOID IofCompleteRequest(PIRP irp, CHAR) {
    std::shared_ptr<shim::Request::State> state;
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        auto it = g_liveIrps.find(irp);
        if (it == g_liveIrps.end()) {
            Fault("completing a request that is not outstanding (completed twice?)");
            return;
        }
        state = it->second;
        g_liveIrps.erase(it);
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        Fault("request completed with its cancel routine still set");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Fault("request completed with STATUS_PENDING");
    }
    std::vector<uint8_t> output;
    const ULONG_PTR information = irp->IoStatus.Information;
    if (state->majorFunction == IRP_MJ_DEVICE_CONTROL && NT_SUCCESS(irp->IoStatus.Status) &&
        irp->AssociatedIrp.SystemBuffer != nullptr) {
        if (information > state->outputLength) {
            Fault("buffered request completed with more information than the output buffer holds");
        }
        const auto* buffer = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        output.assign(buffer, buffer + std::min<ULONG_PTR>(information, state->outputLength));
    }
    const bool markedPending = (irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED) != 0;
    const NTSTATUS status = irp->IoStatus.Status;

    // The request is gone for the driver from here on: free it so a later touch is a
    // use-after-free the sanitizers report.
    std::free(irp->AssociatedIrp.SystemBuffer);
    std::free(reinterpret_cast<IrpBlock*>(irp));

    std::lock_guard<std::mutex> lock(state->mutex);
    state->irp = nullptr;
    state->completed = true;
    state->status = status;
    state->information = information;
    state->output = std::move(output);
    state->markedPending = markedPending;
    state->completedBy = std::this_thread::get_id();
    if (state->dispatchReturned && state->dispatchStatus == STATUS_PENDING && !markedPending) {
        Fault("dispatch returned STATUS_PENDING for a request it did not mark pending");
    }
    state->cv.notify_all();
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        PUNICODE_STRING deviceName, DEVICE_TYPE deviceType, ULONG,
                        BOOLEAN, PDEVICE_OBJECT* deviceObject) {
    *deviceObject = nullptr;
    std::lock_guard<std::mutex> lock(g_namesMutex);
    const std::u16string name = FromCounted(deviceName);
    if (!name.empty() && g_names.count(Fold(name)) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
    device->DriverObject = driverObject;
    device->DeviceType = deviceType;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->DeviceExtension = deviceExtensionSize != 0 ? std::calloc(1, deviceExtensionSize) : nullptr;
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    if (!name.empty()) {
        g_names[Fold(name)] = NameEntry{NameEntry::kDevice, device, {}};
    }
    g_devices[device] = name;
    *deviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_devices.find(device);
    if (it == g_devices.end()) {
        Fault("deleting a device that does not exist");
        return;
    }
    if (!it->second.empty()) g_names.erase(Fold(it->second));
    g_devices.erase(it);
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
    if (*link == device) *link = device->NextDevice;
    std::free(device->DeviceExtension);
    std::free(device);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    const std::u16string name = FromCounted(symbolicLinkName);
    if (name.empty()) return STATUS_INVALID_PARAMETER;
    if (g_names.count(Fold(name)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    g_names[Fold(name)] = NameEntry{NameEntry::kLink, nullptr, FromCounted(deviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_names.find(Fold(FromCounted(symbolicLinkName)));
    if (it == g_names.end() || it->second.kind != NameEntry::kLink) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    g_names.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine, BOOLEAN remove) {
    std::unique_lock<std::mutex> lock(g_regMutex);
    auto it = std::find(g_processRoutines.begin(), g_processRoutines.end(), notifyRoutine);
    if (remove) {
        if (it == g_processRoutines.end()) return STATUS_PROCEDURE_NOT_FOUND;
        g_processRoutines.erase(it);
        // Like the kernel: returns once no callout is running any more.
        g_regCv.wait(lock, [] { return g_callouts == 0; });
        return STATUS_SUCCESS;
    }
    if (g_failProcessRegistration != STATUS_SUCCESS) {
        const NTSTATUS status = g_failProcessRegistration;
        g_failProcessRegistration = STATUS_SUCCESS;
        return status;
    }
    if (it != g_processRoutines.end()) return STATUS_INVALID_PARAMETER;
    g_processRoutines.push_back(notifyRoutine);
    return STATUS_SUCCESS;
}

NTSTATUS CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION function, PCUNICODE_STRING altitude, PVOID driver,
                              PVOID context, PLARGE_INTEGER cookie, PVOID) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    if (function == nullptr || altitude == nullptr || driver == nullptr || cookie == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    g_lastAltitude = FromCounted(altitude);
    if (g_failRegistryRegistration != STATUS_SUCCESS) {
        const NTSTATUS status = g_failRegistryRegistration;
        g_failRegistryRegistration = STATUS_SUCCESS;
        return status;
    }
    cookie->QuadPart = g_nextCookie++;
    g_registryCallbacks.push_back(RegistryCallback{function, context, cookie->QuadPart});
    return STATUS_SUCCESS;
}

NTSTATUS CmUnRegisterCallback(LARGE_INTEGER cookie) {
    std::unique_lock<std::mutex> lock(g_regMutex);
    auto it = std::find_if(g_registryCallbacks.begin(), g_registryCallbacks.end(),
                           [&](const RegistryCallback& c) { return c.cookie == cookie.QuadPart; });
    if (it == g_registryCallbacks.end()) return STATUS_INVALID_PARAMETER;
    g_registryCallbacks.erase(it);
    g_regCv.wait(lock, [] { return g_callouts == 0; });
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION info, ULONG length, PULONG returnLength) {
    if (t_irql != PASSIVE_LEVEL) {
        Fault("ObQueryNameString above PASSIVE_LEVEL");
    }
    auto* key = static_cast<KeyObject*>(object);
    if (key == nullptr || key->magic != kKeyMagic) {
        Fault("ObQueryNameString on something that is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    const size_t bytes = key->name.size() * sizeof(WCHAR);
    const size_t needed = sizeof(OBJECT_NAME_INFORMATION) + bytes + sizeof(WCHAR);
    if (returnLength != nullptr) *returnLength = static_cast<ULONG>(needed);
    if (length < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* text = reinterpret_cast<WCHAR*>(info + 1);
    std::memcpy(text, key->name.data(), bytes);
    text[key->name.size()] = 0;
    info->Name.Buffer = text;
    info->Name.Length = static_cast<USHORT>(bytes);
    info->Name.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// ---- control ------------------------------------------------------------------------------

namespace shim {

void Reset() {
    {
        std::lock_guard<std::mutex> lock(g_faultMutex);
        g_faults.clear();
    }
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.clear();
    }
    g_printDelayUs = 0;
    g_preemptionUs = 0;
    g_lockHoldUs = 0;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        for (auto& [p, block] : g_pool) std::free(p);
        g_pool.clear();
        g_failRules.clear();
    }
    {
        std::lock_guard<std::mutex> lock(g_namesMutex);
        for (auto& [device, name] : g_devices) {
            std::free(device->DeviceExtension);
            std::free(device);
        }
        g_devices.clear();
        g_names.clear();
    }
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        g_processRoutines.clear();
        g_registryCallbacks.clear();
        g_failProcessRegistration = STATUS_SUCCESS;
        g_failRegistryRegistration = STATUS_SUCCESS;
        g_lastAltitude.clear();
    }
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        for (auto& [irp, state] : g_liveIrps) {
            std::free(irp->AssociatedIrp.SystemBuffer);
            std::free(reinterpret_cast<IrpBlock*>(irp));
        }
        g_liveIrps.clear();
    }
    {
        std::lock_guard<std::mutex> lock(g_driversMutex);
        g_drivers.clear();
    }
}

std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

bool LogHas(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return std::find(g_log.begin(), g_log.end(), text) != g_log.end();
}

size_t LogCount(const std::string& part) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return static_cast<size_t>(std::count_if(g_log.begin(), g_log.end(),
                                             [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

void ClearLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

void SetDebugPrintDelay(std::chrono::microseconds delay) { g_printDelayUs = delay.count(); }
void SetPreemptionAfterUnlock(std::chrono::microseconds delay) { g_preemptionUs = delay.count(); }
void SetLockHoldTime(std::chrono::microseconds time) { g_lockHoldUs = time.count(); }

std::vector<std::string> Faults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_faults;
}

size_t OutstandingAllocations() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return g_pool.size();
}

size_t OutstandingAllocations(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return static_cast<size_t>(std::count_if(g_pool.begin(), g_pool.end(),
                                             [&](const auto& entry) { return entry.second.tag == tag; }));
}

void FailAllocation(ULONG tag, int nth) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_failRules.push_back(FailRule{tag, nth});
}

void ReserveName(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_names[Fold(name)] = NameEntry{NameEntry::kReserved, nullptr, {}};
}

bool NameExists(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    return g_names.count(Fold(name)) != 0;
}

std::u16string LinkTarget(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_names.find(Fold(name));
    return it != g_names.end() && it->second.kind == NameEntry::kLink ? it->second.target : std::u16string();
}

void FailNextProcessNotifyRegistration(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_failProcessRegistration = status;
}

void FailNextRegistryRegistration(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_failRegistryRegistration = status;
}

size_t ProcessNotifyRoutineCount() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_processRoutines.size();
}

size_t RegistryCallbackCount() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_registryCallbacks.size();
}

std::u16string LastRegistryAltitude() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_lastAltitude;
}

struct Driver {
    DRIVER_OBJECT* object;
};

namespace {

// After a failed start or an unload nothing of the driver may remain: the image is about to go.
void CheckNothingLeft(PDRIVER_OBJECT object, const char* when) {
    bool devicesLeft;
    {
        std::lock_guard<std::mutex> lock(g_namesMutex);
        devicesLeft = object->DeviceObject != nullptr;
    }
    if (devicesLeft) Fault(std::string("devices left behind ") + when);
    std::lock_guard<std::mutex> lock(g_regMutex);
    if (!g_processRoutines.empty()) Fault(std::string("process notify routine left registered ") + when);
    if (!g_registryCallbacks.empty()) Fault(std::string("registry callback left registered ") + when);
}

std::vector<std::unique_ptr<Driver>> g_driverHandles;

}  // namespace

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

NTSTATUS Open(const std::u16string& name, PDEVICE_OBJECT* device) {
    *device = nullptr;
    PDEVICE_OBJECT target = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_namesMutex);
        std::u16string current = name;
        for (int hops = 0; hops < 8 && target == nullptr; ++hops) {
            auto it = g_names.find(Fold(current));
            if (it == g_names.end() || it->second.kind == NameEntry::kReserved) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (it->second.kind == NameEntry::kDevice) {
                target = it->second.device;
            } else {
                current = it->second.target;
            }
        }
    }
    if (target == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto state = NewIrp(target, IRP_MJ_CREATE, 0, nullptr, 0, false);
    const NTSTATUS dispatched = CallDriver(state);
    Request request(state);
    if (dispatched == STATUS_PENDING) request.Wait(std::chrono::hours(1));
    const NTSTATUS status = request.Status();
    if (NT_SUCCESS(status)) *device = target;
    return status;
}

NTSTATUS Close(PDEVICE_OBJECT device) {
    auto state = NewIrp(device, IRP_MJ_CLOSE, 0, nullptr, 0, false);
    const NTSTATUS dispatched = CallDriver(state);
    Request request(state);
    if (dispatched == STATUS_PENDING) request.Wait(std::chrono::hours(1));
    return request.Status();
}

RequestPtr DeviceIoControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                           ULONG outputLength) {
    auto state = NewIrp(device, IRP_MJ_DEVICE_CONTROL, code, &input, outputLength, true);
    CallDriver(state);
    return std::make_shared<Request>(state);
}

RequestPtr DeviceIoControlNoBuffer(PDEVICE_OBJECT device, ULONG code) {
    auto state = NewIrp(device, IRP_MJ_DEVICE_CONTROL, code, nullptr, 0, false);
    CallDriver(state);
    return std::make_shared<Request>(state);
}

bool Cancel(const RequestPtr& request) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = nullptr;
    PDRIVER_CANCEL routine = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        for (auto& [live, state] : g_liveIrps) {
            if (state == request->state()) irp = live;
        }
        if (irp != nullptr) {
            __atomic_store_n(&irp->Cancel.Value, TRUE, __ATOMIC_RELEASE);
            routine = IoSetCancelRoutine(irp, nullptr);
        }
    }
    if (irp == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return true;
    }
    PDEVICE_OBJECT device = request->state()->device;
    irp->CancelIrql = irql;
    routine(device, irp);
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_RELAXED) == ThreadToken()) {
        Fault("cancel routine returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return true;
}

namespace {

struct CalloutScope {
    CalloutScope() {
        std::lock_guard<std::mutex> lock(g_regMutex);
        ++g_callouts;
    }
    ~CalloutScope() {
        std::lock_guard<std::mutex> lock(g_regMutex);
        --g_callouts;
        g_regCv.notify_all();
    }
};

}  // namespace

NTSTATUS CreateProcess(const std::u16string& image, uint64_t processId, uint64_t parentId) {
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> routines;
    CalloutScope scope;
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        routines = g_processRoutines;
    }
    std::u16string imageCopy = image;
    UNICODE_STRING imageName{static_cast<USHORT>(imageCopy.size() * sizeof(WCHAR)),
                             static_cast<USHORT>(imageCopy.size() * sizeof(WCHAR)), imageCopy.data()};
    PS_CREATE_NOTIFY_INFO info{};
    info.Size = sizeof(info);
    info.ParentProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parentId));
    info.ImageFileName = &imageName;
    info.CreationStatus = STATUS_SUCCESS;
    for (auto routine : routines) {
        routine(reinterpret_cast<PEPROCESS>(0x1000 + processId),
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processId)), &info);
    }
    return info.CreationStatus;
}

void ExitProcess(uint64_t processId) {
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> routines;
    CalloutScope scope;
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        routines = g_processRoutines;
    }
    for (auto routine : routines) {
        routine(reinterpret_cast<PEPROCESS>(0x1000 + processId),
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processId)), nullptr);
    }
}

NTSTATUS SetRegistryValue(const std::u16string& key, const std::u16string& valueName,
                          REG_NOTIFY_CLASS notifyClass) {
    std::vector<RegistryCallback> callbacks;
    CalloutScope scope;
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        callbacks = g_registryCallbacks;
    }
    KeyObject object{kKeyMagic, key};
    std::u16string valueCopy = valueName;
    UNICODE_STRING value{static_cast<USHORT>(valueCopy.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(valueCopy.size() * sizeof(WCHAR)), valueCopy.data()};
    REG_SET_VALUE_KEY_INFORMATION setValue{};
    setValue.Object = &object;
    setValue.ValueName = &value;
    setValue.Type = 1;  // REG_SZ
    REG_POST_OPERATION_INFORMATION post{};
    post.Object = &object;
    post.Status = STATUS_SUCCESS;
    post.PreInformation = &setValue;
    PVOID argument = notifyClass == RegNtPostSetValueKey ? static_cast<PVOID>(&post) : static_cast<PVOID>(&setValue);
    NTSTATUS status = STATUS_SUCCESS;
    for (const auto& callback : callbacks) {
        status = callback.function(callback.context,
                                   reinterpret_cast<PVOID>(static_cast<uintptr_t>(notifyClass)), argument);
    }
    return status;
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

}  // namespace shim
