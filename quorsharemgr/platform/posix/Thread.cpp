#include "quorsharemgr/platform/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "quorsharemgr/platform/posix/SimThreads.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

// Never destroyed: a detached thread (a console event's handler) may still signal while
// the process's exit destroys static objects.
std::mutex& g_m = *new std::mutex;
std::condition_variable& g_cv = *new std::condition_variable;
std::atomic<std::uint64_t> g_terminated{0};
std::atomic<std::uint64_t> g_running{0};

struct Waitable {
    enum class Kind { Thread, Event } kind;
    bool signalled = false;
    bool manualReset = true;
    std::uint32_t exitCode = 259;  // STILL_ACTIVE
    bool abandoned = false;
    std::thread thread;
};

// What a handle points at: the shared object (the thread keeps its own reference).
struct Handle {
    std::shared_ptr<Waitable> w;
};

Waitable* Of(SyncHandle h) { return h == nullptr ? nullptr : static_cast<Handle*>(h)->w.get(); }

// Under g_m: takes a signalled handle (an auto-reset event is reset by the wait).
bool Take(Waitable* w)
{
    if (!w->signalled) {
        return false;
    }
    if (w->kind == Waitable::Kind::Event && !w->manualReset) {
        w->signalled = false;
    }
    return true;
}

}  // namespace

SyncHandle CreateThread(ThreadProc proc, void* arg)
{
    if (sim::FailsAt("Thread.CreateThread")) {
        return nullptr;
    }
    auto w = std::make_shared<Waitable>();
    w->kind = Waitable::Kind::Thread;
    ++g_running;
    std::lock_guard<std::mutex> g(g_m);
    w->thread = std::thread([w, proc, arg] {
        const std::uint32_t code = proc(arg);
        {
            std::lock_guard<std::mutex> l(g_m);
            if (!w->abandoned) {
                w->exitCode = code;
                w->signalled = true;
            }
        }
        --g_running;
        g_cv.notify_all();
    });
    return new Handle{w};
}

SyncHandle CreateEventW(bool manualReset)
{
    auto w = std::make_shared<Waitable>();
    w->kind = Waitable::Kind::Event;
    w->manualReset = manualReset;
    return new Handle{w};
}

bool SetEvent(SyncHandle event)
{
    Waitable* w = Of(event);
    if (w == nullptr || w->kind != Waitable::Kind::Event) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(g_m);
        w->signalled = true;
    }
    g_cv.notify_all();
    return true;
}

std::uint32_t WaitForMultipleObjects(std::uint32_t count, const SyncHandle* handles, std::uint32_t timeoutMs)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        if (Of(handles[i]) == nullptr) {
            sim::SetLastError(kErrorInvalidHandle);
            return kWaitFailed;
        }
    }
    std::unique_lock<std::mutex> l(g_m);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (Take(Of(handles[i]))) {
                return kWaitObject0 + i;
            }
        }
        if (timeoutMs == kInfinite) {
            g_cv.wait(l);
        } else if (g_cv.wait_until(l, deadline) == std::cv_status::timeout) {
            for (std::uint32_t i = 0; i < count; ++i) {
                if (Take(Of(handles[i]))) {
                    return kWaitObject0 + i;
                }
            }
            return kWaitTimeout;
        }
    }
}

std::uint32_t WaitForSingleObject(SyncHandle handle, std::uint32_t timeoutMs)
{
    return WaitForMultipleObjects(1, &handle, timeoutMs);
}

bool GetExitCodeThread(SyncHandle thread, std::uint32_t& code)
{
    Waitable* w = Of(thread);
    if (w == nullptr || w->kind != Waitable::Kind::Thread) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    std::lock_guard<std::mutex> g(g_m);
    code = w->exitCode;
    return true;
}

bool TerminateThread(SyncHandle thread, std::uint32_t code)
{
    Waitable* w = Of(thread);
    if (w == nullptr || w->kind != Waitable::Kind::Thread) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(g_m);
        if (!w->signalled) {
            w->abandoned = true;
            w->exitCode = code;
            w->signalled = true;
            ++g_terminated;
        }
    }
    g_cv.notify_all();
    return true;
}

bool CloseHandle(SyncHandle handle)
{
    auto* h = static_cast<Handle*>(handle);
    if (h == nullptr) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (h->w->kind == Waitable::Kind::Thread) {
        bool ended = false;
        {
            std::lock_guard<std::mutex> g(g_m);
            ended = h->w->signalled && !h->w->abandoned;
        }
        if (ended && h->w->thread.get_id() != std::this_thread::get_id()) {
            h->w->thread.join();
        } else {
            h->w->thread.detach();
        }
    }
    delete h;
    return true;
}

void Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace sim {
std::uint64_t TerminatedThreads() { return g_terminated.load(); }
std::uint64_t RunningThreads() { return g_running.load(); }
}  // namespace sim

}  // namespace quor::platform
