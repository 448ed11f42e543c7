// Windows paths and error numbers on the simulated machine: UTF-16 paths mapped into the
// machine's folder, POSIX errno values as the Windows runtime's errno and as Win32 codes.
#include <cerrno>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform::sim {

std::string Utf8Of(const char16_t* windowsPath)
{
    const int n = WideToUtf8Bytes(windowsPath, -1, nullptr, 0);
    if (n <= 1) {
        return {};
    }
    std::string s(static_cast<std::size_t>(n), '\0');
    WideToUtf8Bytes(windowsPath, -1, s.data(), n);
    s.pop_back();  // the NUL
    return s;
}

std::string HostPathOf(const char16_t* windowsPath) { return ToHostPath(Utf8Of(windowsPath)); }

int ToCrtErrno(int e)
{
    switch (e) {
    case ENOENT:
        return kErrnoNoEntry;
    case EBADF:
        return kErrnoBadFile;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
        return kErrnoAccess;
    case EEXIST:
        return kErrnoExists;
    case ENOTDIR:
        return kErrnoNotDir;
    case EMFILE:
    case ENFILE:
        return kErrnoTooManyFiles;
    case ENOSPC:
    case EDQUOT:
        return kErrnoNoSpace;
    case ENAMETOOLONG:
        return kErrnoNameTooLong;
    case ENOTEMPTY:
        return kErrnoNotEmpty;
    default:
        return kErrnoInvalid;  // what the runtime reports for errors it has no name for
    }
}

std::uint32_t ToWinError(int e)
{
    switch (e) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return kErrorAccessDenied;
    case EEXIST:
    case ENOTEMPTY:
        return kErrorAlreadyExists;
    case EBUSY:
    case ETXTBSY:
        return kErrorSharingViolation;
    case EXDEV:
        return kErrorNotSameDevice;
    case ENAMETOOLONG:
        return kErrorFilenameExcedRange;
    default:
        return kErrorInvalidParameter;
    }
}

}  // namespace quor::platform::sim
