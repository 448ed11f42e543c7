// Platform seam: the calling thread's last Win32 error. win32: GetLastError(). posix: the
// simulated machine's thread-local last error, which every simulated call sets the way the
// Windows call it stands for would (and leaves alone where that call does).
#pragma once

#include <cstdint>

namespace quor::platform {

std::uint32_t LastError();

}  // namespace quor::platform
