#include "platform/posix/SimFiles.h"

#include <cerrno>

#include "platform/CrtFiles.h"
#include "platform/FileApi.h"
#include "platform/SimPath.h"
#include "platform/TextConv.h"

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
        return kWinFileNotFound;
    case ENOTDIR:
        return kWinPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return kWinAccessDenied;
    case EEXIST:
    case ENOTEMPTY:
        return kWinAlreadyExists;
    case EBUSY:
    case ETXTBSY:
        return kWinSharingViolation;
    case EXDEV:
        return 17;  // ERROR_NOT_SAME_DEVICE
    case ENAMETOOLONG:
        return 206;  // ERROR_FILENAME_EXCED_RANGE
    default:
        return 87;  // ERROR_INVALID_PARAMETER
    }
}

}  // namespace quor::platform::sim
