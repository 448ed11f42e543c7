#include "tests/support/LinkCheck.h"

#include <windows.h>

namespace quortest {

// Wine shows a host system's symbolic link as a folder with the reparse-point attribute but
// no reparse data, which the C++ library takes for a plain folder: the attribute decides.
bool IsLinkEntry(const std::filesystem::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return true;
    }
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

}  // namespace quortest
