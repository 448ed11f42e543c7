#include "fileshare/src/platform/FileApi.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "shared/lib/platform/win32/LongPath.h"

namespace quor::platform {

struct DirSearch {
    HANDLE handle;
    WIN32_FIND_DATAW data;
};

namespace {
// Every path in its extended-length form: the backend's paths may exceed MAX_PATH.
std::wstring W(const char16_t* s) { return ExtendedLengthPath(reinterpret_cast<const wchar_t*>(s)); }
}  // namespace

DirSearch* FindFirstEntry(const char16_t* pattern)
{
    auto* search = new DirSearch{};
    search->handle = ::FindFirstFileW(W(pattern).c_str(), &search->data);
    if (search->handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        delete search;
        ::SetLastError(error);
        return nullptr;
    }
    return search;
}

const char16_t* EntryName(const DirSearch* search)
{
    return reinterpret_cast<const char16_t*>(search->data.cFileName);
}

bool FindNextEntry(DirSearch* search) { return ::FindNextFileW(search->handle, &search->data) != FALSE; }

void EndSearch(DirSearch* search)
{
    ::FindClose(search->handle);
    delete search;
}

bool MovePath(const char16_t* from, const char16_t* to) { return ::MoveFileW(W(from).c_str(), W(to).c_str()) != FALSE; }

bool DeletePath(const char16_t* path) { return ::DeleteFileW(W(path).c_str()) != FALSE; }

static_assert(kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(kInvalidAttributes == INVALID_FILE_ATTRIBUTES);

std::uint32_t PathAttributes(const char16_t* path) { return ::GetFileAttributesW(W(path).c_str()); }

bool ReopenForRead(int fd, int translation, int& readFd)
{
    readFd = -1;
    const intptr_t os = ::_get_osfhandle(fd);
    if (os == -1) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    HANDLE h = ::ReOpenFile(reinterpret_cast<HANDLE>(os), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    readFd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | translation);
    if (readFd == -1) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        ::SetLastError(error);
        return false;
    }
    return true;
}

}  // namespace quor::platform
