#include "shared/lib/platform/NamedPipe.h"

#include <windows.h>

namespace quor::platform {

namespace {
HANDLE H(PipeHandle pipe) { return reinterpret_cast<HANDLE>(pipe); }
}  // namespace

PipeHandle OpenPipe(const std::u16string& name)
{
    const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    return reinterpret_cast<PipeHandle>(h);
}

bool ReadPipe(PipeHandle pipe, void* buffer, std::uint32_t length, std::uint32_t& read)
{
    DWORD n = 0;
    const BOOL ok = ::ReadFile(H(pipe), buffer, length, &n, nullptr);
    read = n;
    return ok != FALSE;
}

bool WritePipe(PipeHandle pipe, const void* data, std::uint32_t length, std::uint32_t& written)
{
    DWORD n = 0;
    const BOOL ok = ::WriteFile(H(pipe), data, length, &n, nullptr);
    written = n;
    return ok != FALSE;
}

bool CancelPipeIo(PipeHandle pipe) { return ::CancelIoEx(H(pipe), nullptr) != FALSE; }
bool FlushPipe(PipeHandle pipe) { return ::FlushFileBuffers(H(pipe)) != FALSE; }
bool DisconnectPipe(PipeHandle pipe) { return ::DisconnectNamedPipe(H(pipe)) != FALSE; }
bool ClosePipe(PipeHandle pipe) { return ::CloseHandle(H(pipe)) != FALSE; }

}  // namespace quor::platform
