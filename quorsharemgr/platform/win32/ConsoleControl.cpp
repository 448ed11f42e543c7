#include "quorsharemgr/platform/ConsoleControl.h"

#include <windows.h>

#include <atomic>

namespace quor::platform {

namespace {

std::atomic<ConsoleControlFn> g_handler{nullptr};

BOOL WINAPI Trampoline(DWORD event)
{
    const ConsoleControlFn handler = g_handler.load();
    return handler != nullptr && handler(event) ? TRUE : FALSE;
}

}  // namespace

bool SetConsoleCtrlHandler(ConsoleControlFn handler)
{
    g_handler.store(handler);
    return ::SetConsoleCtrlHandler(Trampoline, TRUE) != FALSE;
}

}  // namespace quor::platform
