// Platform seam: the server's fixed work buffers. win32: LocalAlloc(LMEM_FIXED) and
// LocalFree. posix: malloc and free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::platform {

void* AllocFixed(std::size_t bytes);
void FreeFixed(void* block);
std::uint32_t LastAllocError();

}  // namespace quor::platform
