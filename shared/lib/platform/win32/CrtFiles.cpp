#include "shared/lib/platform/CrtFiles.h"

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>

namespace quor::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

namespace {
const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
}  // namespace

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

int WSOpenS(int& fd, const char16_t* path, int openFlag, int shareFlag, int permission)
{
    fd = -1;
    return static_cast<int>(::_wsopen_s(&fd, W(path), openFlag, shareFlag, permission));
}

int WStat64(const char16_t* path, FileStat64& st)
{
    struct _stat64 s {};
    if (::_wstat64(W(path), &s) != 0) {
        return -1;
    }
    st.mode = static_cast<std::uint16_t>(s.st_mode);
    st.size = s.st_size;
    st.atime = s.st_atime;
    st.mtime = s.st_mtime;
    st.ctime = s.st_ctime;
    return 0;
}

std::int64_t LSeekI64(int fd, std::int64_t offset) { return ::_lseeki64(fd, offset, SEEK_SET); }

int ReadFd(int fd, void* buffer, unsigned count) { return ::_read(fd, buffer, count); }

int WriteFd(int fd, const void* buffer, unsigned count) { return ::_write(fd, buffer, count); }

int ChSizeS(int fd, std::int64_t size) { return static_cast<int>(::_chsize_s(fd, size)); }

int CloseFd(int fd) { return ::_close(fd); }

int WMkdir(const char16_t* path) { return ::_wmkdir(W(path)); }

int WRmdir(const char16_t* path) { return ::_wrmdir(W(path)); }

int Errno() { return errno; }

}  // namespace quor::platform
