// Platform seam: the shell items of a folder, and a data object over some of them.
// win32: ILCreateFromPathW, SHBindToObject(IID_IShellFolder), IShellFolder::EnumObjects,
// IEnumIDList::Next, IShellFolder::GetUIObjectOf(IID_IDataObject), ILFree, Release.
// posix: the simulated machine's folders (docs/simulation.md).
#pragma once

#include <cstdint>

#include "quorsharemgr/platform/Window.h"

namespace quor::platform {

using IdList = void*;
using ShellFolder = void*;
using ShellEnum = void*;

inline constexpr std::uint32_t kShcontfAll = 0xE0;  // folders, non-folders, hidden

IdList ILCreateFromPathW(const char16_t* path);  // null on failure
void ILFree(IdList list);
std::int32_t SHBindToObject(IdList list, ShellFolder* folder);
std::int32_t EnumObjects(ShellFolder folder, std::uint32_t flags, ShellEnum* items);
std::int32_t EnumNext(ShellEnum items, IdList* child);  // S_OK with a child, S_FALSE at the end
std::int32_t GetUIObjectOf(ShellFolder folder, WindowHandle owner, std::uint32_t count, const IdList* children,
                           void** dataObject);
void ReleaseFolder(ShellFolder folder);
void ReleaseEnum(ShellEnum items);

}  // namespace quor::platform
