#include "tests/pipe/support/AgentHarness.h"

#include <windows.h>

#include <string>

namespace quortest {

// One pipe instance, overlapped so that every wait has a time limit.
struct AgentHarness::Impl {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string pending;
    int next = 0;

    ~Impl()
    {
        Close();
        ::CloseHandle(event);
    }
    void Close()
    {
        if (pipe != INVALID_HANDLE_VALUE) {
            // Closing (not disconnecting) is what the client sees as the broken pipe (109).
            ::CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
        }
        pending.clear();
    }
    // Waits for an overlapped operation started on the pipe; false on failure or time-out
    // (the operation is then cancelled and finished).
    bool Finish(BOOL started, DWORD& done, int timeoutMs, DWORD* error = nullptr)
    {
        OVERLAPPED* o = &overlapped;
        DWORD e = started ? ERROR_SUCCESS : ::GetLastError();
        if (!started && e == ERROR_IO_PENDING) {
            if (::WaitForSingleObject(event, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
                ::CancelIoEx(pipe, o);
                ::GetOverlappedResult(pipe, o, &done, TRUE);
                e = WAIT_TIMEOUT;
            } else {
                e = ::GetOverlappedResult(pipe, o, &done, FALSE) ? ERROR_SUCCESS : ::GetLastError();
            }
        } else if (started) {
            ::GetOverlappedResult(pipe, o, &done, FALSE);
        }
        if (error != nullptr) {
            *error = e;
        }
        return e == ERROR_SUCCESS;
    }
    OVERLAPPED* Fresh()
    {
        overlapped = {};
        ::ResetEvent(event);
        overlapped.hEvent = event;
        return &overlapped;
    }
    OVERLAPPED overlapped{};
};

AgentHarness::AgentHarness() : impl_(std::make_unique<Impl>()) {}
AgentHarness::~AgentHarness() = default;

std::u16string AgentHarness::Listen()
{
    impl_->Close();
    const std::wstring name = L"\\\\.\\pipe\\quorsharepipe" + std::to_wstring(::GetCurrentProcessId()) + L"x" +
                              std::to_wstring(++impl_->next);
    impl_->pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (impl_->pipe == INVALID_HANDLE_VALUE) {
        return {};
    }
    return std::u16string(name.begin(), name.end());
}

std::u16string AgentHarness::UnusedName()
{
    const std::wstring name = L"\\\\.\\pipe\\quorsharepipe" + std::to_wstring(::GetCurrentProcessId()) + L"none";
    return std::u16string(name.begin(), name.end());
}

bool AgentHarness::Accept(int timeoutMs)
{
    const BOOL ok = ::ConnectNamedPipe(impl_->pipe, impl_->Fresh());
    if (!ok && ::GetLastError() == ERROR_PIPE_CONNECTED) {
        return true;
    }
    DWORD done = 0;
    return impl_->Finish(ok, done, timeoutMs);
}

bool AgentHarness::SendRaw(const std::string& bytes)
{
    DWORD done = 0;
    const BOOL ok = ::WriteFile(impl_->pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, impl_->Fresh());
    return impl_->Finish(ok, done, 30000) && done == bytes.size();
}

bool AgentHarness::Send(const std::u16string& text) { return SendRaw(Utf16Bytes(text)); }

bool AgentHarness::Receive(std::u16string& text, std::size_t& bytes, int timeoutMs)
{
    text.clear();
    bytes = 0;
    while (true) {
        std::string& p = impl_->pending;
        for (std::size_t i = 0; i + 1 < p.size(); i += 2) {
            if (p[i] == '\0' && p[i + 1] == '\0') {
                for (std::size_t k = 0; k < i; k += 2) {
                    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[k]) |
                                                         (static_cast<unsigned char>(p[k + 1]) << 8)));
                }
                bytes = i + 2;
                p.erase(0, i + 2);
                return true;
            }
        }
        char buf[4096];
        DWORD done = 0;
        const BOOL ok = ::ReadFile(impl_->pipe, buf, sizeof buf, nullptr, impl_->Fresh());
        if (!impl_->Finish(ok, done, timeoutMs) || done == 0) {
            return false;
        }
        p.append(buf, done);
    }
}

bool AgentHarness::WaitClosed(int timeoutMs)
{
    char buf[4096];
    DWORD done = 0;
    DWORD error = 0;
    const BOOL ok = ::ReadFile(impl_->pipe, buf, sizeof buf, nullptr, impl_->Fresh());
    impl_->Finish(ok, done, timeoutMs, &error);
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

void AgentHarness::CloseConnection() { impl_->Close(); }

}  // namespace quortest
