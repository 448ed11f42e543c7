// Platform seam: the server's fixed work buffers. win32: LocalAlloc(LMEM_FIXED) and
// LocalFree. posix: malloc and free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/lib/platform/LastError.h"

namespace quor::platform {

void* AllocFixed(std::size_t bytes);
void FreeFixed(void* block);

}  // namespace quor::platform
