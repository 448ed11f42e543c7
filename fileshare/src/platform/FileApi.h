// Platform seam: the Win32 file functions of the file-share backend.
// win32: FindFirstFileW / FindNextFileW / FindClose, MoveFileW, DeleteFileW,
// GetFileAttributesW, ReOpenFile (with _get_osfhandle / _open_osfhandle), GetLastError;
// paths in their extended-length form ("\\?\"), so that they may exceed MAX_PATH.
// posix: the same results on the simulated machine, with Windows error codes.
#pragma once

#include <cstdint>

#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/WinErrors.h"

namespace quor::platform {


// One directory search (a find handle and its WIN32_FIND_DATAW).
struct DirSearch;
// FindFirstFileW(pattern): the search positioned on its first entry, or null.
DirSearch* FindFirstEntry(const char16_t* pattern);
// cFileName of the current entry, NUL-terminated.
const char16_t* EntryName(const DirSearch* search);
// FindNextFileW: false at the end (LastError() 18) or on failure.
bool FindNextEntry(DirSearch* search);
// FindClose, and frees the search.
void EndSearch(DirSearch* search);

// MoveFileW(from, to): fails when the target exists.
bool MovePath(const char16_t* from, const char16_t* to);
// DeleteFileW(path).
bool DeletePath(const char16_t* path);

// FILE_ATTRIBUTE_REPARSE_POINT: symbolic links, junctions and every other reparse point.
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;  // INVALID_FILE_ATTRIBUTES
// GetFileAttributesW(path): the attributes of the last component itself (a link is not
// followed), or kInvalidAttributes with the reason in LastError().
std::uint32_t PathAttributes(const char16_t* path);

// A second runtime descriptor, read-only, of the file open as `fd`, with a file position
// of its own and the text/binary translation bits `translation` (_O_TEXT, _O_BINARY, ...):
// ReOpenFile(_get_osfhandle(fd), GENERIC_READ, share all, 0), then _open_osfhandle. No
// path is looked up again. False with the reason in LastError().
bool ReopenForRead(int fd, int translation, int& readFd);

}  // namespace quor::platform
