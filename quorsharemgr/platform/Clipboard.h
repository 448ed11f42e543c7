// Platform seam: the system clipboard. win32: the user32 calls one to one. posix: the
// simulated machine's clipboard (docs/simulation.md), with Windows' rules.
#pragma once

#include <cstdint>
#include <string>

#include "quorsharemgr/platform/GlobalMemory.h"

namespace quor::platform {

using WindowHandle = void*;

bool OpenClipboard(WindowHandle window);   // false while another window holds it open
bool CloseClipboard();
bool EmptyClipboard();                     // the opener becomes the owner
MemHandle SetClipboardData(std::uint32_t format, MemHandle block);  // the system owns the block after
MemHandle GetClipboardData(std::uint32_t format);                    // null when absent
std::uint32_t EnumClipboardFormats(std::uint32_t after);             // 0 after the last
std::uint32_t RegisterClipboardFormatW(const char16_t* name);        // 0xC000 and up
// The registered name of `format`; empty when it has none.
std::u16string GetClipboardFormatNameW(std::uint32_t format);
std::uint32_t GetClipboardSequenceNumber();
bool AddClipboardFormatListener(WindowHandle window);
bool RemoveClipboardFormatListener(WindowHandle window);

}  // namespace quor::platform
