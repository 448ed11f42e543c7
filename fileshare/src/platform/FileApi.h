// Platform seam: the Win32 file functions of the file-share backend.
// win32: FindFirstFileW / FindNextFileW / FindClose, MoveFileW, DeleteFileW, GetLastError.
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

}  // namespace quor::platform
