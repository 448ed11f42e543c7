// Platform seam: GetVolumeInformationW on a root path ("E:\", "\\server\share\"), with
// label and file-system name buffers of 261 UTF-16 units.
#pragma once

#include <string>

namespace quor::platform {

bool GetVolumeInformationW(const char16_t* root, std::u16string* label, std::u16string* fileSystemName);

}  // namespace quor::platform
