// Windows only, for the win32 file seams: the extended-length form of a path ("\\?\C:\..."
// or "\\?\UNC\server\share\..."), which the file calls take beyond MAX_PATH (260)
// characters. The path is made full first with GetFullPathNameW, which applies the rules
// the calls apply to a path in its ordinary form ('/' as a separator, "." and "..", trailing
// dots and spaces), so that only the length limit goes. Returned unchanged: paths already in
// a "\\?\" or "\\.\" form, relative paths ("dir\f", "C:f", "\f"), and paths that
// GetFullPathNameW turns into a device ("C:\dir\CON" is "\\.\CON").
#pragma once

#include <string>

namespace quor::platform {

std::wstring ExtendedLengthPath(const wchar_t* path);

}  // namespace quor::platform
