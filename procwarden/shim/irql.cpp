// Kernel shim: IRQL, spin locks, the cancel spin lock, and pageable memory.
//
// A thread's IRQL is PASSIVE_LEVEL until it takes a spin lock (DISPATCH_LEVEL). Pageable
// buffers handed to a thread's callouts are registered with that thread; while it runs at
// DISPATCH_LEVEL their pages are inaccessible, so a touch faults at once.
#include "procwarden/shim/shim_internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

namespace shim::internal {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_threadToken;  // its address identifies the thread as a lock owner
std::atomic<int64_t> g_preemptionUs{0};
std::atomic<int64_t> g_lockHoldUs{0};

struct Range {
    void* start;
    size_t bytes;
};
thread_local std::vector<Range> t_pageable;

// Ranges of every thread, for the signal handler (a fixed table read without locks).
constexpr int kMaxRanges = 256;
std::atomic<uintptr_t> g_rangeStart[kMaxRanges];
std::atomic<size_t> g_rangeBytes[kMaxRanges];

void OnSegv(int, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (int i = 0; i < kMaxRanges; ++i) {
        const uintptr_t start = g_rangeStart[i].load();
        if (start != 0 && address >= start && address < start + g_rangeBytes[i].load()) {
            static const char kText[] = "kernel shim: fatal fault: pageable memory touched at DISPATCH_LEVEL\n";
            (void)!write(2, kText, sizeof(kText) - 1);
            _exit(86);
        }
    }
    signal(SIGSEGV, SIG_DFL);  // anything else: the ordinary crash
}

void InstallSegvHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
    });
}

void ProtectPageable(bool inaccessible) {
    for (const Range& range : t_pageable) {
        mprotect(range.start, range.bytes, inaccessible ? PROT_NONE : PROT_READ | PROT_WRITE);
    }
}

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

KSPIN_LOCK g_cancelSpinLock = 0;

KIRQL CurrentIrql() { return t_irql; }
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
    if (old < DISPATCH_LEVEL) {
        ProtectPageable(true);
    }
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
    if (newIrql < DISPATCH_LEVEL) {
        ProtectPageable(false);
    }
    const int64_t preemption = g_preemptionUs.load();
    if (preemption > 0 && newIrql == PASSIVE_LEVEL) {
        std::this_thread::sleep_for(std::chrono::microseconds(preemption));
    }
}

void ResetScheduling() {
    g_preemptionUs = 0;
    g_lockHoldUs = 0;
}

PageableBuffer::PageableBuffer(size_t bytes) {
    InstallSegvHandler();
    const size_t page = PageSize();
    mapped_ = (bytes == 0 ? 1 : bytes + page - 1) / page * page;
    if (mapped_ == 0) mapped_ = page;
    data_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data_ == MAP_FAILED) {
        FatalFault("mmap for a pageable buffer failed");
    }
    t_pageable.push_back(Range{data_, mapped_});
    for (int i = 0; i < kMaxRanges; ++i) {
        uintptr_t expected = 0;
        if (g_rangeStart[i].compare_exchange_strong(expected, reinterpret_cast<uintptr_t>(data_))) {
            g_rangeBytes[i] = mapped_;
            break;
        }
    }
}

PageableBuffer::~PageableBuffer() {
    for (auto it = t_pageable.begin(); it != t_pageable.end(); ++it) {
        if (it->start == data_) {
            t_pageable.erase(it);
            break;
        }
    }
    for (int i = 0; i < kMaxRanges; ++i) {
        if (g_rangeStart[i].load() == reinterpret_cast<uintptr_t>(data_)) {
            g_rangeBytes[i] = 0;
            g_rangeStart[i] = 0;
            break;
        }
    }
    munmap(data_, mapped_);
}

PageableString::PageableString(const std::u16string& text) : buffer(text.size() * sizeof(WCHAR)) {
    std::memcpy(buffer.data(), text.data(), text.size() * sizeof(WCHAR));
    value.Buffer = static_cast<PWCH>(buffer.data());
    value.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    value.MaximumLength = value.Length;
}

}  // namespace shim::internal

using namespace shim::internal;

VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) { __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE); }
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock) { return AcquireSpin(spinLock); }
VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) { ReleaseSpin(spinLock, newIrql); }
KIRQL KeGetCurrentIrql() { return CurrentIrql(); }

VOID IoAcquireCancelSpinLock(PKIRQL irql) { *irql = AcquireSpin(&g_cancelSpinLock); }
VOID IoReleaseCancelSpinLock(KIRQL irql) { ReleaseSpin(&g_cancelSpinLock, irql); }

void shim::SetPreemptionAfterUnlock(std::chrono::microseconds delay) { g_preemptionUs = delay.count(); }
void shim::SetLockHoldTime(std::chrono::microseconds time) { g_lockHoldUs = time.count(); }
