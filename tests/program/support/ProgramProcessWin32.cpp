#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/program/support/ProgramProcess.h"

namespace quortest {

namespace {

constexpr char kLogPath[] = "C:\\ProgramData\\QUOR\\log\\quor.log";

// The program's path: QUORSHAREMGR_EXE in the environment (ctest gives the build tree's
// program there; a Unix path is reached through drive Z: under Wine), else quorsharemgr.exe in
// the folder above this test's, as the package lays them out (tests\ beside the program).
std::wstring ProgramPath()
{
    if (const char* given = std::getenv("QUORSHAREMGR_EXE"); given != nullptr && given[0] != '\0') {
        std::string path = given;
        if (path[0] == '/') {
            path = "Z:" + path;
        }
        std::wstring wide;
        for (const char c : path) {
            wide.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
        return wide;
    }
    std::wstring self(MAX_PATH, L'\0');
    DWORD n = 0;
    while ((n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()))) == self.size()) {
        self.resize(self.size() * 2);
    }
    self.resize(n);
    for (int up = 0; up < 2; ++up) {
        const std::size_t slash = self.find_last_of(L'\\');
        self.resize(slash == std::wstring::npos ? 0 : slash);
    }
    return self + L"\\quorsharemgr.exe";
}

}  // namespace

struct ProgramProcess::Impl {
    PROCESS_INFORMATION pi{};
    bool started = false;
    int status = -1;
};

ProgramProcess::ProgramProcess(const std::vector<std::string>& args) : impl_(new Impl)
{
    const std::wstring exe = ProgramPath();
    std::wstring commandLine = L"\"" + exe + L"\"";
    for (const std::string& a : args) {
        commandLine += L" " + std::wstring(a.begin(), a.end());
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    // A console and a process group of its own, so that a console event can be raised for it
    // alone.
    impl_->started = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                      CREATE_NEW_PROCESS_GROUP | CREATE_NEW_CONSOLE, nullptr, nullptr, &si, &impl_->pi) != FALSE;
}

ProgramProcess::~ProgramProcess()
{
    if (impl_->started) {
        if (impl_->status < 0) {
            ::TerminateProcess(impl_->pi.hProcess, 1);
            ::WaitForSingleObject(impl_->pi.hProcess, 10000);
        }
        ::CloseHandle(impl_->pi.hThread);
        ::CloseHandle(impl_->pi.hProcess);
    }
    delete impl_;
}

bool ProgramProcess::Started() const { return impl_->started; }

namespace {
BOOL WINAPI IgnoreEvent(DWORD) { return TRUE; }
}  // namespace

bool ProgramProcess::SendConsoleEvent(ConsoleEvent event)
{
    if (!impl_->started || event != ConsoleEvent::CtrlC) {
        return false;
    }
    // Wine 8 cannot attach to the program's console, and Wine 10 (arm64) attaches but does
    // not deliver the event to it; under Wine the end-to-end Ctrl+C test (SIGINT, which Wine
    // raises as CTRL_C_EVENT) covers the handler instead.
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        return false;
    }
    // The event is raised on the program's console, which the test joins for the call (it
    // ignores the event itself). Ctrl+C is disabled in a new process group; Ctrl+Break
    // reaches the same handler.
    (void)::FreeConsole();
    if (::AttachConsole(impl_->pi.dwProcessId) == FALSE) {
        return false;
    }
    (void)::SetConsoleCtrlHandler(IgnoreEvent, TRUE);
    const bool ok = ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, impl_->pi.dwProcessId) != FALSE;
    (void)::FreeConsole();
    return ok;
}

int ProgramProcess::WaitExit(int timeoutMs)
{
    if (!impl_->started || impl_->status >= 0) {
        return impl_->status;
    }
    if (::WaitForSingleObject(impl_->pi.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(impl_->pi.hProcess, &code);
    impl_->status = static_cast<int>(code);
    return impl_->status;
}

std::string ProgramLog()
{
    std::string text;
    if (std::FILE* f = std::fopen(kLogPath, "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            text.append(buf, n);
        }
        std::fclose(f);
    }
    return text;
}

void RemoveProgramLog() { (void)std::remove(kLogPath); }

}  // namespace quortest
