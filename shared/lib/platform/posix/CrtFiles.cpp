// The runtime library's file calls on the simulated machine: the logger's streams and the
// file-share backend's descriptors, on Windows paths mapped into the machine's folder.
// Failures leave the Windows runtime's errno for Errno(). Fault points: "CrtFiles.rename",
// "CrtFiles._read", "CrtFiles._wstat64" (the armed error is an errno value).
//
// Descriptors: Open flags arrive in
// the Windows runtime's values and are translated; text mode is not simulated (every
// file behaves as opened with _O_BINARY). The read-only attribute is a file without the
// owner's write bit: opening it for writing fails with EACCES as on Windows, even for root.
#include "shared/lib/platform/CrtFiles.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {
thread_local int t_errno = 0;

constexpr int kWinWriteOnly = 0x1;
constexpr int kWinReadWrite = 0x2;
constexpr int kWinAppend = 0x8;
constexpr int kWinCreate = 0x100;
constexpr int kWinTruncate = 0x200;
constexpr int kWinExclusive = 0x400;

int Fail(int posixErrno)
{
    t_errno = sim::ToCrtErrno(posixErrno);
    return -1;
}

// The Windows runtime's st_mode: type bits, read always, write unless read-only, execute
// for directories; the owner's bits repeated for group and others.
std::uint32_t WindowsMode(const struct stat& s)
{
    const bool dir = S_ISDIR(s.st_mode);
    std::uint32_t user = 0x100;
    if ((s.st_mode & S_IWUSR) != 0) {
        user |= 0x80;
    }
    if (dir) {
        user |= 0x40;
    }
    return (dir ? 0x4000u : 0x8000u) | user | (user >> 3) | (user >> 6);
}
}  // namespace

// ---- streams ------------------------------------------------------------------------------

std::FILE* OpenSharedStream(const std::string& path, const char* mode)
{
    std::FILE* f = std::fopen(ToHostPath(path).c_str(), mode);
    if (f == nullptr) {
        Fail(errno);
    }
    return f;
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
    if (::mkdir(host.c_str(), 0777) == 0) {
        return true;
    }
    Fail(errno);
    return false;
}

int RemoveFile(const std::string& path)
{
    return std::remove(ToHostPath(path).c_str()) == 0 ? 0 : Fail(errno);
}

int RenameFile(const std::string& from, const std::string& to)
{
    if (const auto fault = sim::Fault("CrtFiles.rename")) {
        t_errno = static_cast<int>(*fault);
        return -1;
    }
    // The runtime's rename on Windows refuses to replace an existing target.
    const std::string target = ToHostPath(to);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        return Fail(EEXIST);
    }
    return std::rename(ToHostPath(from).c_str(), target.c_str()) == 0 ? 0 : Fail(errno);
}

std::int64_t StreamLength(std::FILE* stream)
{
    struct stat st {};
    if (::fstat(::fileno(stream), &st) != 0) {
        return Fail(errno);
    }
    return static_cast<std::int64_t>(st.st_size);
}

// ---- descriptors --------------------------------------------------------------------------

int WSOpenS(int& fd, const char16_t* path, int openFlag, int shareFlag, int permission)
{
    (void)shareFlag;  // no sharing modes on the simulated machine
    fd = -1;
    const std::string host = sim::HostPathOf(path);
    int flags = O_CLOEXEC;
    const bool writing = (openFlag & (kWinWriteOnly | kWinReadWrite)) != 0;
    flags |= (openFlag & kWinReadWrite) != 0 ? O_RDWR : (openFlag & kWinWriteOnly) != 0 ? O_WRONLY : O_RDONLY;
    if ((openFlag & kWinAppend) != 0) {
        flags |= O_APPEND;
    }
    if ((openFlag & kWinCreate) != 0) {
        flags |= O_CREAT;
    }
    if ((openFlag & kWinTruncate) != 0) {
        flags |= O_TRUNC;
    }
    if ((openFlag & kWinExclusive) != 0) {
        flags |= O_EXCL;
    }
    struct stat before {};
    if (::stat(host.c_str(), &before) == 0) {
        if (S_ISDIR(before.st_mode)) {
            t_errno = kErrnoAccess;  // a directory cannot be opened as a file
            return t_errno;
        }
        if ((writing || (openFlag & kWinTruncate) != 0) && (before.st_mode & S_IWUSR) == 0) {
            t_errno = kErrnoAccess;  // read-only attribute
            return t_errno;
        }
    }
    const mode_t mode = (permission & kPermWrite) != 0 ? 0644 : 0444;
    const int r = ::open(host.c_str(), flags, mode);
    if (r < 0) {
        Fail(errno);
        return t_errno;
    }
    fd = r;
    return 0;
}

int WStat64(const char16_t* path, FileStat64& st)
{
    if (const auto fault = sim::Fault("CrtFiles._wstat64")) {
        t_errno = static_cast<int>(*fault);
        return -1;
    }
    struct stat s {};
    if (::stat(sim::HostPathOf(path).c_str(), &s) != 0) {
        return Fail(errno);
    }
    st.mode = WindowsMode(s);
    st.size = s.st_size;
    st.atime = s.st_atime;
    st.mtime = s.st_mtime;
    st.ctime = s.st_ctime;
    return 0;
}

std::int64_t LSeekI64(int fd, std::int64_t offset)
{
    const off_t r = ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
    if (r < 0) {
        return Fail(errno);
    }
    return r;
}

int ReadFd(int fd, void* buffer, unsigned count)
{
    if (const auto fault = sim::Fault("CrtFiles._read")) {
        t_errno = static_cast<int>(*fault);
        return -1;
    }
    for (;;) {
        const ssize_t r = ::read(fd, buffer, count);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

int WriteFd(int fd, const void* buffer, unsigned count)
{
    for (;;) {
        const ssize_t r = ::write(fd, buffer, count);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

int ChSizeS(int fd, std::int64_t size)
{
    if (size < 0) {
        t_errno = kErrnoInvalid;
        return t_errno;
    }
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        // A descriptor without write access fails with EACCES on Windows.
        Fail(errno == EINVAL ? EACCES : errno);
        return t_errno;
    }
    return 0;
}

int CloseFd(int fd) { return ::close(fd) == 0 ? 0 : Fail(errno); }

int WMkdir(const char16_t* path) { return ::mkdir(sim::HostPathOf(path).c_str(), 0777) == 0 ? 0 : Fail(errno); }

int WRmdir(const char16_t* path) { return ::rmdir(sim::HostPathOf(path).c_str()) == 0 ? 0 : Fail(errno); }

int Errno() { return t_errno; }

}  // namespace quor::platform
