#include "fileshare/src/platform/FileApi.h"

#include <windows.h>

namespace quor::platform {

struct DirSearch {
    HANDLE handle;
    WIN32_FIND_DATAW data;
};

namespace {
const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
}  // namespace

DirSearch* FindFirstEntry(const char16_t* pattern)
{
    auto* search = new DirSearch{};
    search->handle = ::FindFirstFileW(W(pattern), &search->data);
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

bool MovePath(const char16_t* from, const char16_t* to) { return ::MoveFileW(W(from), W(to)) != FALSE; }

bool DeletePath(const char16_t* path) { return ::DeleteFileW(W(path)) != FALSE; }

}  // namespace quor::platform
