#include "quorsharemgr/platform/Clipboard.h"

#include <windows.h>

namespace quor::platform {

bool OpenClipboard(WindowHandle window) { return ::OpenClipboard(static_cast<HWND>(window)) != FALSE; }
bool CloseClipboard() { return ::CloseClipboard() != FALSE; }
bool EmptyClipboard() { return ::EmptyClipboard() != FALSE; }
MemHandle SetClipboardData(std::uint32_t format, MemHandle block) { return ::SetClipboardData(format, block); }
MemHandle GetClipboardData(std::uint32_t format) { return ::GetClipboardData(format); }
std::uint32_t EnumClipboardFormats(std::uint32_t after) { return ::EnumClipboardFormats(after); }
std::uint32_t RegisterClipboardFormatW(const char16_t* name)
{
    return ::RegisterClipboardFormatW(reinterpret_cast<const wchar_t*>(name));
}
std::u16string GetClipboardFormatNameW(std::uint32_t format)
{
    wchar_t name[256];
    const int n = ::GetClipboardFormatNameW(format, name, 256);
    return n > 0 ? std::u16string(reinterpret_cast<const char16_t*>(name), static_cast<std::size_t>(n)) : std::u16string();
}
std::uint32_t GetClipboardSequenceNumber() { return ::GetClipboardSequenceNumber(); }
bool AddClipboardFormatListener(WindowHandle window)
{
    return ::AddClipboardFormatListener(static_cast<HWND>(window)) != FALSE;
}
bool RemoveClipboardFormatListener(WindowHandle window)
{
    return ::RemoveClipboardFormatListener(static_cast<HWND>(window)) != FALSE;
}

}  // namespace quor::platform
