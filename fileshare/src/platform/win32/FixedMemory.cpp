#include "fileshare/src/platform/FixedMemory.h"

#include <windows.h>

namespace quor::platform {

void* AllocFixed(std::size_t bytes) { return ::LocalAlloc(LMEM_FIXED, bytes); }

void FreeFixed(void* block)
{
    if (block != nullptr) {
        ::LocalFree(block);
    }
}

}  // namespace quor::platform
