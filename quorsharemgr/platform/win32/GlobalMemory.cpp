#include "quorsharemgr/platform/GlobalMemory.h"

#include <windows.h>

namespace quor::platform {

MemHandle GlobalAlloc(std::size_t bytes) { return ::GlobalAlloc(GMEM_MOVEABLE, bytes); }
MemHandle GlobalFree(MemHandle block) { return ::GlobalFree(block); }
void* GlobalLock(MemHandle block) { return ::GlobalLock(block); }
bool GlobalUnlock(MemHandle block) { return ::GlobalUnlock(block) != FALSE; }
std::size_t GlobalSize(MemHandle block) { return ::GlobalSize(block); }

}  // namespace quor::platform
