#include "quorsharemgr/platform/ShellItems.h"

#include <windows.h>
#include <shlobj.h>

namespace quor::platform {

IdList ILCreateFromPathW(const char16_t* path) { return ::ILCreateFromPathW(reinterpret_cast<const wchar_t*>(path)); }
void ILFree(IdList list) { ::ILFree(static_cast<PIDLIST_ABSOLUTE>(list)); }
std::int32_t SHBindToObject(IdList list, ShellFolder* folder)
{
    return ::SHBindToObject(nullptr, static_cast<PCUIDLIST_RELATIVE>(list), nullptr, IID_IShellFolder, folder);
}
std::int32_t EnumObjects(ShellFolder folder, std::uint32_t flags, ShellEnum* items)
{
    return static_cast<IShellFolder*>(folder)->EnumObjects(nullptr, flags, reinterpret_cast<IEnumIDList**>(items));
}
std::int32_t EnumNext(ShellEnum items, IdList* child)
{
    return static_cast<IEnumIDList*>(items)->Next(1, reinterpret_cast<PITEMID_CHILD*>(child), nullptr);
}
std::int32_t GetUIObjectOf(ShellFolder folder, WindowHandle owner, std::uint32_t count, const IdList* children,
                           void** dataObject)
{
    return static_cast<IShellFolder*>(folder)->GetUIObjectOf(static_cast<HWND>(owner), count,
                                                             static_cast<PCUITEMID_CHILD_ARRAY>(static_cast<void*>(const_cast<IdList*>(children))),
                                                             IID_IDataObject, nullptr, dataObject);
}
void ReleaseFolder(ShellFolder folder) { static_cast<IShellFolder*>(folder)->Release(); }
void ReleaseEnum(ShellEnum items) { static_cast<IEnumIDList*>(items)->Release(); }

}  // namespace quor::platform
