#include "quorsharemgr/platform/FileStatus.h"

#include <cerrno>
#include <sys/stat.h>

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

std::uint32_t FileStatusError(const char16_t* path)
{
    if (sim::FailsAt("FileStatus.GetFileAttributesW")) {
        return sim::GetLastError();
    }
    struct stat st {};
    if (::stat(sim::HostPathOf(path).c_str(), &st) == 0) {
        return 0;
    }
    const std::uint32_t error = errno == ENOENT ? kErrorFileNotFound
                                : errno == ENOTDIR ? kErrorPathNotFound
                                                   : sim::ToWinError(errno);
    sim::SetLastError(error);
    return error;
}

}  // namespace quor::platform
