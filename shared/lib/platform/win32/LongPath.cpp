#include "shared/lib/platform/win32/LongPath.h"

#include <windows.h>

namespace quor::platform {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "\\?\" or "\\.\", with either separator.
bool IsDeviceForm(const std::wstring& p)
{
    return p.size() >= 4 && IsSeparator(p[0]) && IsSeparator(p[1]) && (p[2] == L'?' || p[2] == L'.') &&
           IsSeparator(p[3]);
}

bool IsDrivePath(const std::wstring& p)
{
    return p.size() >= 3 && IsLetter(p[0]) && p[1] == L':' && IsSeparator(p[2]);
}

bool IsUncPath(const std::wstring& p)
{
    return p.size() >= 3 && IsSeparator(p[0]) && IsSeparator(p[1]) && !IsDeviceForm(p);
}

}  // namespace

std::wstring ExtendedLengthPath(const wchar_t* path)
{
    const std::wstring given(path);
    if (!IsDrivePath(given) && !IsUncPath(given)) {
        return given;
    }
    const DWORD needed = ::GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) {
        return given;
    }
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(path, needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return given;
    }
    full.resize(written);
    if (IsDrivePath(full)) {
        return L"\\\\?\\" + full;
    }
    if (IsUncPath(full)) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return given;
}

}  // namespace quor::platform
