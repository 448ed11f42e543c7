// Platform seam: OLE on the calling thread and the OLE clipboard.
// win32: OleInitialize, OleUninitialize, OleSetClipboard, OleFlushClipboard. posix: the
// simulated desktop's OLE clipboard, which holds one reference to the object set and
// releases it on the setting thread when another application replaces the clipboard
// (docs/simulation.md).
#pragma once

#include <cstdint>

namespace quor::platform {

std::int32_t OleInitialize();  // S_OK, S_FALSE when already initialised on the thread
void OleUninitialize();
std::int32_t OleSetClipboard(void* dataObject);  // an IDataObject
std::int32_t OleFlushClipboard();

}  // namespace quor::platform
