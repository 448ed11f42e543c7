#include "quorsharemgr/platform/Thread.h"

#include <windows.h>

namespace quor::platform {

namespace {

struct Start {
    ThreadProc proc;
    void* arg;
};

DWORD WINAPI Trampoline(LPVOID p)
{
    const Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    return s.proc(s.arg);
}

}  // namespace

SyncHandle CreateThread(ThreadProc proc, void* arg)
{
    auto* s = new Start{proc, arg};
    HANDLE h = ::CreateThread(nullptr, 0, Trampoline, s, 0, nullptr);
    if (h == nullptr) {
        delete s;
    }
    return h;
}
SyncHandle CreateEventW(bool manualReset) { return ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr); }
bool SetEvent(SyncHandle event) { return ::SetEvent(event) != FALSE; }
std::uint32_t WaitForMultipleObjects(std::uint32_t count, const SyncHandle* handles, std::uint32_t timeoutMs)
{
    return ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
}
std::uint32_t WaitForSingleObject(SyncHandle handle, std::uint32_t timeoutMs)
{
    return ::WaitForSingleObject(handle, timeoutMs);
}
bool GetExitCodeThread(SyncHandle thread, std::uint32_t& code)
{
    DWORD c = 0;
    const bool ok = ::GetExitCodeThread(thread, &c) != FALSE;
    code = c;
    return ok;
}
bool TerminateThread(SyncHandle thread, std::uint32_t code) { return ::TerminateThread(thread, code) != FALSE; }
bool CloseHandle(SyncHandle handle) { return ::CloseHandle(handle) != FALSE; }
void Sleep(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace quor::platform
