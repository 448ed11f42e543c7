// The Windows numbers the program works with: Win32 error codes (GetLastError), wait
// results, and the runtime library's errno values. The portable code and the simulation
// use these names; in the Windows builds each value is checked against the system's own
// macro at compile time (platform/win32/WinErrorsCheck.cpp), so they cannot drift.
#pragma once

#include <cstdint>

namespace quor::platform {

// ---- Win32 error codes -----------------------------------------------------------------
inline constexpr std::uint32_t kErrorSuccess = 0;                   // ERROR_SUCCESS
inline constexpr std::uint32_t kErrorInvalidFunction = 1;           // ERROR_INVALID_FUNCTION
inline constexpr std::uint32_t kErrorFileNotFound = 2;              // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorPathNotFound = 3;              // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kErrorAccessDenied = 5;              // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kErrorInvalidHandle = 6;             // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;           // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kErrorInvalidData = 13;              // ERROR_INVALID_DATA
inline constexpr std::uint32_t kErrorNotSameDevice = 17;            // ERROR_NOT_SAME_DEVICE
inline constexpr std::uint32_t kErrorNoMoreFiles = 18;              // ERROR_NO_MORE_FILES
inline constexpr std::uint32_t kErrorGenFailure = 31;               // ERROR_GEN_FAILURE
inline constexpr std::uint32_t kErrorSharingViolation = 32;         // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t kErrorNotSupported = 50;             // ERROR_NOT_SUPPORTED
inline constexpr std::uint32_t kErrorBadNetPath = 53;               // ERROR_BAD_NETPATH
inline constexpr std::uint32_t kErrorInvalidParameter = 87;         // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kErrorBrokenPipe = 109;              // ERROR_BROKEN_PIPE
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;      // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t kErrorInvalidName = 123;             // ERROR_INVALID_NAME
inline constexpr std::uint32_t kErrorAlreadyExists = 183;           // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t kErrorFilenameExcedRange = 206;      // ERROR_FILENAME_EXCED_RANGE
inline constexpr std::uint32_t kErrorNoData = 232;                  // ERROR_NO_DATA
inline constexpr std::uint32_t kErrorNoMoreItems = 259;             // ERROR_NO_MORE_ITEMS
inline constexpr std::uint32_t kErrorDirectory = 267;               // ERROR_DIRECTORY
inline constexpr std::uint32_t kErrorCantWait = 554;                // ERROR_CANT_WAIT
inline constexpr std::uint32_t kErrorOperationAborted = 995;        // ERROR_OPERATION_ABORTED
inline constexpr std::uint32_t kErrorIoIncomplete = 996;            // ERROR_IO_INCOMPLETE
inline constexpr std::uint32_t kErrorIoPending = 997;               // ERROR_IO_PENDING
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;     // ERROR_DEVICE_NOT_CONNECTED
inline constexpr std::uint32_t kErrorNotFound = 1168;               // ERROR_NOT_FOUND
inline constexpr std::uint32_t kErrorClipboardNotOpen = 1418;      // ERROR_CLIPBOARD_NOT_OPEN
inline constexpr std::uint32_t kErrorConnectionInvalid = 1229;      // ERROR_CONNECTION_INVALID
inline constexpr std::uint32_t kErrorAlreadyInitialized = 1247;     // ERROR_ALREADY_INITIALIZED
inline constexpr std::uint32_t kErrorNoSystemResources = 1450;      // ERROR_NO_SYSTEM_RESOURCES
inline constexpr std::uint32_t kErrorFunctionFailed = 1627;         // ERROR_FUNCTION_FAILED
inline constexpr std::uint32_t kErrorInvalidWindowHandle = 1400;    // ERROR_INVALID_WINDOW_HANDLE
inline constexpr std::uint32_t kErrorClassAlreadyExists = 1410;     // ERROR_CLASS_ALREADY_EXISTS

// ---- COM results (HRESULT) --------------------------------------------------------------
inline constexpr std::int32_t kSOk = 0;                                          // S_OK
inline constexpr std::int32_t kSFalse = 1;                                       // S_FALSE
inline constexpr std::int32_t kENoInterface = static_cast<std::int32_t>(0x80004002);  // E_NOINTERFACE
inline constexpr std::int32_t kEPointer = static_cast<std::int32_t>(0x80004003);      // E_POINTER
inline constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005);         // E_FAIL
inline constexpr std::int32_t kEOutOfMemory = static_cast<std::int32_t>(0x8007000E);  // E_OUTOFMEMORY

// ---- waits ------------------------------------------------------------------------------
inline constexpr std::uint32_t kWaitObject0 = 0;                    // WAIT_OBJECT_0
inline constexpr std::uint32_t kWaitTimeout = 258;                  // WAIT_TIMEOUT
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;            // WAIT_FAILED
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;              // INFINITE

// ---- the runtime library's errno values (Windows numbering) -----------------------------
inline constexpr int kErrnoNoEntry = 2;        // ENOENT
inline constexpr int kErrnoBadFile = 9;        // EBADF
inline constexpr int kErrnoAccess = 13;        // EACCES
inline constexpr int kErrnoExists = 17;        // EEXIST
inline constexpr int kErrnoNotDir = 20;        // ENOTDIR
inline constexpr int kErrnoInvalid = 22;       // EINVAL
inline constexpr int kErrnoTooManyFiles = 24;  // EMFILE
inline constexpr int kErrnoNoSpace = 28;       // ENOSPC
inline constexpr int kErrnoRange = 34;         // ERANGE
inline constexpr int kErrnoNameTooLong = 38;   // ENAMETOOLONG
inline constexpr int kErrnoNotEmpty = 41;      // ENOTEMPTY

}  // namespace quor::platform
