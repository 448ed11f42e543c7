// Platform seam: the runtime library's file calls.
// Streams (the logger): _fsopen(_SH_DENYNO), _stat64, _mkdir, remove, rename, _filelengthi64.
// Descriptors (the file-share backend): _wsopen_s, _wstat64, _lseeki64, _read, _write,
// _chsize_s, _close, _wmkdir, _wrmdir. On Windows the descriptor calls take their paths in
// the extended-length form ("\\?\"), so that the backend's paths may exceed MAX_PATH;
// _wstat64, which refuses that form, is answered from GetFileAttributesExW for such paths.
// posix: the same semantics on POSIX calls, for the simulated machine, whose folder the
// Windows paths are mapped into. Open flags, the mode bits and the errno numbers are the
// Windows runtime's on both platforms (errno values: platform/WinErrors.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "shared/lib/platform/WinErrors.h"

namespace quor::platform {

// Sharing and permission arguments of _wsopen_s.
inline constexpr int kShareDenyNone = 0x40;  // _SH_DENYNO
inline constexpr int kPermRead = 0x100;      // _S_IREAD
inline constexpr int kPermWrite = 0x80;      // _S_IWRITE

// ---- streams (narrow Windows paths) ---------------------------------------------------
// Opens a stream with no sharing restriction (_fsopen with _SH_DENYNO on Windows).
std::FILE* OpenSharedStream(const std::string& path, const char* mode);
bool PathExists(const std::string& path);
bool MakeDirectory(const std::string& path);
int RemoveFile(const std::string& path);                         // 0 on success
int RenameFile(const std::string& from, const std::string& to);  // 0 on success
// Length of the open stream's file, negative on failure.
std::int64_t StreamLength(std::FILE* stream);

// ---- descriptors (UTF-16 Windows paths) ------------------------------------------------
struct FileStat64 {
    std::uint32_t mode;  // st_mode: 0x4000 directory, 0x8000 regular file, plus permission bits
    std::int64_t size;
    std::int64_t atime;
    std::int64_t mtime;
    std::int64_t ctime;
};

// _wsopen_s(&fd, path, openFlag, shareFlag, permission): 0 with fd set, or the errno.
int WSOpenS(int& fd, const char16_t* path, int openFlag, int shareFlag, int permission);
// _wstat64: 0, or -1 with the errno in Errno().
int WStat64(const char16_t* path, FileStat64& st);
// _lseeki64(fd, offset, SEEK_SET): the new position, or -1.
std::int64_t LSeekI64(int fd, std::int64_t offset);
// _read / _write: the byte count, or -1.
int ReadFd(int fd, void* buffer, unsigned count);
int WriteFd(int fd, const void* buffer, unsigned count);
// _chsize_s: 0 or the errno.
int ChSizeS(int fd, std::int64_t size);
// _close, _wmkdir, _wrmdir: 0, or -1 with the errno in Errno().
int CloseFd(int fd);
int WMkdir(const char16_t* path);
int WRmdir(const char16_t* path);
// The calling thread's errno after a failed call of this seam.
int Errno();

}  // namespace quor::platform
