// Platform seam: the moveable global memory blocks the clipboard holds. GlobalSize may be
// larger than the size asked for, so nothing may assume a terminator at a block's end.
#pragma once

#include <cstddef>

namespace quor::platform {

using MemHandle = void*;

MemHandle GlobalAlloc(std::size_t bytes);  // GMEM_MOVEABLE; null on failure
MemHandle GlobalFree(MemHandle block);     // null on success
void* GlobalLock(MemHandle block);         // null on failure
bool GlobalUnlock(MemHandle block);        // false once the lock count reaches 0 (error 0) or on failure
std::size_t GlobalSize(MemHandle block);   // 0 on failure

}  // namespace quor::platform
