// Platform seam: the Win32 file functions of the file-share backend.
// win32: FindFirstFileW / FindNextFileW / FindClose, MoveFileW, DeleteFileW, GetLastError.
// posix: the same results on the simulated machine, with Windows error codes.
#pragma once

#include <cstdint>

namespace quor::platform {

inline constexpr std::uint32_t kWinFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kWinPathNotFound = 3;       // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kWinAccessDenied = 5;       // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kWinNoMoreFiles = 18;       // ERROR_NO_MORE_FILES
inline constexpr std::uint32_t kWinSharingViolation = 32;  // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t kWinAlreadyExists = 183;    // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t kWinDirectory = 267;        // ERROR_DIRECTORY

// One directory search (a find handle and its WIN32_FIND_DATAW).
struct DirSearch;
// FindFirstFileW(pattern): the search positioned on its first entry, or null.
DirSearch* FindFirstEntry(const char16_t* pattern);
// cFileName of the current entry, NUL-terminated.
const char16_t* EntryName(const DirSearch* search);
// FindNextFileW: false at the end (LastWinError() 18) or on failure.
bool FindNextEntry(DirSearch* search);
// FindClose, and frees the search.
void EndSearch(DirSearch* search);

// MoveFileW(from, to): fails when the target exists.
bool MovePath(const char16_t* from, const char16_t* to);
// DeleteFileW(path).
bool DeletePath(const char16_t* path);
std::uint32_t LastWinError();

}  // namespace quor::platform
