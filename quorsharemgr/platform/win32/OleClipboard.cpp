#include "quorsharemgr/platform/OleClipboard.h"

#include <windows.h>
#include <ole2.h>

namespace quor::platform {

std::int32_t OleInitialize() { return ::OleInitialize(nullptr); }
void OleUninitialize() { ::OleUninitialize(); }
std::int32_t OleSetClipboard(void* dataObject) { return ::OleSetClipboard(static_cast<IDataObject*>(dataObject)); }
std::int32_t OleFlushClipboard() { return ::OleFlushClipboard(); }

}  // namespace quor::platform
