#include "quorsharemgr/platform/FileStatus.h"

#include <windows.h>

namespace quor::platform {

std::uint32_t FileStatusError(const char16_t* path)
{
    return ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path)) == INVALID_FILE_ATTRIBUTES ? ::GetLastError()
                                                                                                   : 0;
}

}  // namespace quor::platform
