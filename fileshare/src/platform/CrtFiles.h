// Platform seam: the runtime library's descriptor calls the file-share backend makes.
// win32: _wsopen_s, _wstat64, _lseeki64, _read, _write, _chsize_s, _close, _wmkdir, _wrmdir.
// posix: the same semantics on POSIX calls, for the simulated machine. Open flags, the
// mode bits and the errno numbers are the Windows runtime's on both platforms.
#pragma once

#include <cstdint>

namespace quor::platform {

// Sharing and permission arguments of _wsopen_s.
inline constexpr int kShareDenyNone = 0x40;  // _SH_DENYNO
inline constexpr int kPermRead = 0x100;      // _S_IREAD
inline constexpr int kPermWrite = 0x80;      // _S_IWRITE

// errno values, Windows runtime numbering.
inline constexpr int kErrnoNoEntry = 2;        // ENOENT
inline constexpr int kErrnoBadFile = 9;        // EBADF
inline constexpr int kErrnoAccess = 13;        // EACCES
inline constexpr int kErrnoExists = 17;        // EEXIST
inline constexpr int kErrnoNotDir = 20;        // ENOTDIR
inline constexpr int kErrnoInvalid = 22;       // EINVAL
inline constexpr int kErrnoTooManyFiles = 24;  // EMFILE
inline constexpr int kErrnoNoSpace = 28;       // ENOSPC
inline constexpr int kErrnoNameTooLong = 38;   // ENAMETOOLONG
inline constexpr int kErrnoNotEmpty = 41;      // ENOTEMPTY

struct FileStat64 {
    std::uint32_t mode;  // st_mode: 0x4000 directory, 0x8000 regular file, plus permission bits
    std::int64_t size;
    std::int64_t atime;
    std::int64_t mtime;
    std::int64_t ctime;
};

// _wsopen_s(&fd, path, openFlag, shareFlag, permission): 0 with fd set, or the errno.
int WSOpenS(int& fd, const char16_t* path, int openFlag, int shareFlag, int permission);
// _wstat64: 0, or -1 with the errno in CrtErrno().
int WStat64(const char16_t* path, FileStat64& st);
// _lseeki64(fd, offset, SEEK_SET): the new position, or -1.
std::int64_t LSeekI64(int fd, std::int64_t offset);
// _read / _write: the byte count, or -1.
int ReadFd(int fd, void* buffer, unsigned count);
int WriteFd(int fd, const void* buffer, unsigned count);
// _chsize_s: 0 or the errno.
int ChSizeS(int fd, std::int64_t size);
// _close, _wmkdir, _wrmdir: 0, or -1 with the errno in CrtErrno().
int CloseFd(int fd);
int WMkdir(const char16_t* path);
int WRmdir(const char16_t* path);
int CrtErrno();

}  // namespace quor::platform
