#include "platform/LogFiles.h"

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace quor::platform {

std::FILE* OpenSharedStream(const std::string& path, const char* mode)
{
    return ::_fsopen(path.c_str(), mode, _SH_DENYNO);
}

bool PathExists(const std::string& path)
{
    struct _stat64 st {};
    return ::_stat64(path.c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& path) { return ::_mkdir(path.c_str()) == 0; }

int RemoveFile(const std::string& path) { return std::remove(path.c_str()); }

int RenameFile(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }

std::int64_t StreamLength(std::FILE* stream) { return ::_filelengthi64(::_fileno(stream)); }

int LastErrno() { return errno; }

}  // namespace quor::platform
