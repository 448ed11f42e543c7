// Platform seam: the client end of a named pipe, opened for synchronous I/O in byte read
// mode. win32: the kernel32 calls one to one. posix: the simulated machine's pipes, Unix
// stream sockets under $QUOR_SIM_DIR/pipe/ where the pipe's server listens
// (docs/simulation.md, "The agent's pipe").
#pragma once

#include <cstdint>
#include <string>

#include "shared/lib/platform/LastError.h"

namespace quor::platform {

using PipeHandle = std::intptr_t;
inline constexpr PipeHandle kInvalidPipe = -1;  // INVALID_HANDLE_VALUE

// CreateFileW(name, GENERIC_READ | GENERIC_WRITE, no sharing, no security attributes,
// OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, no template):
// synchronous, and whoever serves the pipe may identify the user but not act as the user;
// kInvalidPipe on failure.
PipeHandle OpenPipe(const std::u16string& name);
// ReadFile(pipe, buffer, length, &read, no OVERLAPPED).
bool ReadPipe(PipeHandle pipe, void* buffer, std::uint32_t length, std::uint32_t& read);
// WriteFile(pipe, data, length, &written, no OVERLAPPED).
bool WritePipe(PipeHandle pipe, const void* data, std::uint32_t length, std::uint32_t& written);
// CancelIoEx(pipe, no OVERLAPPED): the I/O waiting on the pipe at this moment fails with 995.
bool CancelPipeIo(PipeHandle pipe);
bool FlushPipe(PipeHandle pipe);       // FlushFileBuffers
bool DisconnectPipe(PipeHandle pipe);  // DisconnectNamedPipe
bool ClosePipe(PipeHandle pipe);       // CloseHandle

}  // namespace quor::platform
