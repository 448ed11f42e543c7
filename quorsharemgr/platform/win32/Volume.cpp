#include "quorsharemgr/platform/Volume.h"

#include <windows.h>

namespace quor::platform {

bool GetVolumeInformationW(const char16_t* root, std::u16string* label, std::u16string* fileSystemName)
{
    wchar_t labelBuf[261] = {};
    wchar_t fsBuf[261] = {};
    if (::GetVolumeInformationW(reinterpret_cast<const wchar_t*>(root), label ? labelBuf : nullptr,
                                label ? 261 : 0, nullptr, nullptr, nullptr, fileSystemName ? fsBuf : nullptr,
                                fileSystemName ? 261 : 0) == FALSE) {
        return false;
    }
    if (label != nullptr) {
        *label = reinterpret_cast<const char16_t*>(labelBuf);
    }
    if (fileSystemName != nullptr) {
        *fileSystemName = reinterpret_cast<const char16_t*>(fsBuf);
    }
    return true;
}

}  // namespace quor::platform
