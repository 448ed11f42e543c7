#include "shared/lib/platform/CrtFiles.h"

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>

#include <windows.h>

#include "shared/lib/platform/win32/LongPath.h"

namespace quor::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

namespace {
const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
// The descriptor calls take paths in their extended-length form: the file-share backend's
// paths may exceed MAX_PATH.
std::wstring Long(const char16_t* s) { return ExtendedLengthPath(W(s)); }

// What _wstat64 reports, from the attributes: the runtime's own _wstat64 refuses a path
// with '?' in it (so every extended-length path) and stops at MAX_PATH.
int StatLongPath(const char16_t* path, FileStat64& st)
{
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (!::GetFileAttributesExW(Long(path).c_str(), GetFileExInfoStandard, &data)) {
        errno = ENOENT;
        return -1;
    }
    std::uint32_t user = _S_IREAD;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        user |= _S_IWRITE;
    }
    std::uint32_t type = _S_IFREG;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        type = _S_IFDIR;
        user |= _S_IEXEC;
    } else {
        const wchar_t* dot = ::wcsrchr(W(path), L'.');
        if (dot != nullptr && (::_wcsicmp(dot, L".exe") == 0 || ::_wcsicmp(dot, L".cmd") == 0 ||
                               ::_wcsicmp(dot, L".bat") == 0 || ::_wcsicmp(dot, L".com") == 0)) {
            user |= _S_IEXEC;
        }
    }
    st.mode = type | user | (user >> 3) | (user >> 6);
    st.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    const auto seconds = [](const FILETIME& t) {
        const std::uint64_t ticks = (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;  // from 1601 to 1970
    };
    st.atime = seconds(data.ftLastAccessTime);
    st.mtime = seconds(data.ftLastWriteTime);
    st.ctime = seconds(data.ftCreationTime);
    return 0;
}
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
    return static_cast<int>(::_wsopen_s(&fd, Long(path).c_str(), openFlag, shareFlag, permission));
}

int WStat64(const char16_t* path, FileStat64& st)
{
    if (::wcslen(W(path)) >= MAX_PATH) {
        return StatLongPath(path, st);
    }
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

int WMkdir(const char16_t* path) { return ::_wmkdir(Long(path).c_str()); }

int WRmdir(const char16_t* path) { return ::_wrmdir(Long(path).c_str()); }

int Errno() { return errno; }

}  // namespace quor::platform
