#include "platform/LogFiles.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/SimPath.h"

namespace quor::platform {

std::FILE* OpenSharedStream(const std::string& path, const char* mode)
{
    return std::fopen(ToHostPath(path).c_str(), mode);
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return ::stat(ToHostPath(path).c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& path)
{
    // The simulated machine's drive and share roots always exist on a real one.
    (void)EnsureSimRoot(path);
    const std::string host = ToHostPath(path);
    struct stat st {};
    if (::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return true;
    }
    return ::mkdir(host.c_str(), 0777) == 0;
}

int RemoveFile(const std::string& path)
{
    return std::remove(ToHostPath(path).c_str());
}

int RenameFile(const std::string& from, const std::string& to)
{
    // The runtime's rename on Windows refuses to replace an existing target.
    const std::string target = ToHostPath(to);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return std::rename(ToHostPath(from).c_str(), target.c_str());
}

std::int64_t StreamLength(std::FILE* stream)
{
    struct stat st {};
    if (::fstat(::fileno(stream), &st) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

int LastErrno() { return errno; }

}  // namespace quor::platform
