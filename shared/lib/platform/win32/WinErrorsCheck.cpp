// Holds the error table to the system headers: a wrong number fails the Windows build.
#include "shared/lib/platform/WinErrors.h"

#include <errno.h>
#include <windows.h>

namespace quor::platform {

static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kErrorInvalidWindowHandle == ERROR_INVALID_WINDOW_HANDLE);
static_assert(kErrorClassAlreadyExists == ERROR_CLASS_ALREADY_EXISTS);
static_assert(kSOk == S_OK);
static_assert(kSFalse == S_FALSE);
static_assert(kENoInterface == E_NOINTERFACE);
static_assert(kEPointer == E_POINTER);
static_assert(kEFail == E_FAIL);
static_assert(kEOutOfMemory == E_OUTOFMEMORY);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorInvalidData == ERROR_INVALID_DATA);
static_assert(kErrorNotSameDevice == ERROR_NOT_SAME_DEVICE);
static_assert(kErrorNoMoreFiles == ERROR_NO_MORE_FILES);
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(kErrorBadNetPath == ERROR_BAD_NETPATH);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorBrokenPipe == ERROR_BROKEN_PIPE);
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(kErrorInvalidName == ERROR_INVALID_NAME);
static_assert(kErrorClipboardNotOpen == ERROR_CLIPBOARD_NOT_OPEN);
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(kErrorNoData == ERROR_NO_DATA);
static_assert(kErrorInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(kErrorNoSystemResources == ERROR_NO_SYSTEM_RESOURCES);
static_assert(kErrorDirectory == ERROR_DIRECTORY);
// mingw-w64's winerror.h lacks ERROR_CANT_WAIT (554 in the Windows SDK's).
#ifdef ERROR_CANT_WAIT
static_assert(kErrorCantWait == ERROR_CANT_WAIT);
#else
static_assert(kErrorCantWait == 554);
#endif
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorIoIncomplete == ERROR_IO_INCOMPLETE);
static_assert(kErrorIoPending == ERROR_IO_PENDING);
static_assert(kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);
static_assert(kErrorNotFound == ERROR_NOT_FOUND);
static_assert(kErrorConnectionInvalid == ERROR_CONNECTION_INVALID);
static_assert(kErrorAlreadyInitialized == ERROR_ALREADY_INITIALIZED);
static_assert(kErrorFunctionFailed == ERROR_FUNCTION_FAILED);

static_assert(kWaitObject0 == WAIT_OBJECT_0);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kWaitFailed == WAIT_FAILED);
static_assert(kInfinite == INFINITE);

static_assert(kErrnoNoEntry == ENOENT);
static_assert(kErrnoBadFile == EBADF);
static_assert(kErrnoAccess == EACCES);
static_assert(kErrnoExists == EEXIST);
static_assert(kErrnoNotDir == ENOTDIR);
static_assert(kErrnoInvalid == EINVAL);
static_assert(kErrnoTooManyFiles == EMFILE);
static_assert(kErrnoNoSpace == ENOSPC);
static_assert(kErrnoRange == ERANGE);
static_assert(kErrnoNameTooLong == ENAMETOOLONG);
static_assert(kErrnoNotEmpty == ENOTEMPTY);

}  // namespace quor::platform
