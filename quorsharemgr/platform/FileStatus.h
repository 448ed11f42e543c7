// Platform seam: whether a path exists (GetFileAttributesW): 0, or the Win32 error that
// tells why not (2 and 3 for a missing file or folder, 53, 123, ...).
#pragma once

#include <cstdint>

namespace quor::platform {

std::uint32_t FileStatusError(const char16_t* path);

}  // namespace quor::platform
