#include "platform/FixedMemory.h"

#include <cerrno>
#include <cstdlib>

namespace quor::platform {

namespace {
thread_local std::uint32_t t_error = 0;
}

void* AllocFixed(std::size_t bytes)
{
    void* p = std::malloc(bytes);
    if (p == nullptr) {
        t_error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    }
    return p;
}

void FreeFixed(void* block) { std::free(block); }

std::uint32_t LastAllocError() { return t_error; }

}  // namespace quor::platform
