#include "quorsharemgr/platform/ConsoleControl.h"

#include <csignal>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

std::atomic<ConsoleControlFn> g_handler{nullptr};
std::once_flag g_started;

std::uint32_t EventOf(int signal)
{
    switch (signal) {
    case SIGHUP: return kCtrlCloseEvent;
    case SIGTERM: return kCtrlShutdownEvent;
    default: return kCtrlCEvent;
    }
}

// The signals are blocked in the calling thread and every thread it starts later; this
// thread takes them, and each runs the handler on a new thread, as Windows does.
void TakeSignals(sigset_t set)
{
    for (;;) {
        int signal = 0;
        if (::sigwait(&set, &signal) != 0) {
            continue;
        }
        const ConsoleControlFn handler = g_handler.load();
        if (handler != nullptr) {
            std::thread([handler, signal] { (void)handler(EventOf(signal)); }).detach();
        }
    }
}

}  // namespace

bool SetConsoleCtrlHandler(ConsoleControlFn handler)
{
    if (sim::FailsAt("ConsoleControl.SetConsoleCtrlHandler")) {
        return false;
    }
    g_handler.store(handler);
    bool ok = true;
    std::call_once(g_started, [&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGHUP);
        sigaddset(&set, SIGTERM);
        if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
            sim::SetLastError(kErrorInvalidParameter);
            ok = false;
            return;
        }
        try {
            std::thread(TakeSignals, set).detach();
        } catch (const std::system_error&) {
            sim::SetLastError(kErrorNotEnoughMemory);
            ok = false;
        }
    });
    return ok;
}

}  // namespace quor::platform
