// Kernel shim: events and waits, on a virtual clock.
//
// Events are plain data serialised by one dispatcher lock. A wait with a relative time-out
// ends when its event is signalled or when the virtual clock (moved only by AdvanceTime) has
// reached the wait's deadline.
#include "procwarden/shim/shim_internal.h"

namespace shim::internal {
namespace {
std::mutex g_dispatcherMutex;
std::condition_variable g_dispatcherCv;
int64_t g_now100ns = 0;      // virtual time, 100 ns units
size_t g_blocked = 0;        // threads in KeWaitForSingleObject
size_t g_timedPending = 0;   // of those, with a deadline not yet reached
}  // namespace

void ResetDispatcher() {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    g_now100ns = 0;
}

}  // namespace shim::internal

using namespace shim::internal;

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
    if (CurrentIrql() >= DISPATCH_LEVEL && !zeroTimeout) {
        Fault("waiting at DISPATCH_LEVEL or above");
    }
    if (timeout != nullptr && timeout->QuadPart > 0) {
        Fault("absolute wait times are not modelled");
    }
    auto* event = static_cast<PRKEVENT>(object);
    std::unique_lock<std::mutex> lock(g_dispatcherMutex);
    const ULONG64 generation = event->Generation;
    const bool timed = timeout != nullptr;
    const int64_t deadline = timed ? g_now100ns - timeout->QuadPart : 0;
    auto signalled = [&] {
        return event->SignalState != 0 || (event->Type == NotificationEvent && event->Generation != generation);
    };
    ++g_blocked;
    if (timed) ++g_timedPending;
    bool expired = false;
    g_dispatcherCv.wait(lock, [&] {
        expired = timed && g_now100ns >= deadline;
        return signalled() || expired;
    });
    --g_blocked;
    if (timed) --g_timedPending;
    const bool ok = signalled();
    if (!ok) {
        return STATUS_TIMEOUT;
    }
    if (event->Type == SynchronizationEvent) {
        event->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

void shim::AdvanceTime(std::chrono::milliseconds by) {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    g_now100ns += by.count() * 10000;
    g_dispatcherCv.notify_all();
}

size_t shim::BlockedWaiters() {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    return g_blocked;
}

size_t shim::TimedWaiters() {
    std::lock_guard<std::mutex> lock(g_dispatcherMutex);
    return g_timedPending;
}
