#include "fileshare/src/platform/FixedMemory.h"

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

#include <cerrno>
#include <cstdlib>

namespace quor::platform {

namespace {
}

void* AllocFixed(std::size_t bytes)
{
    void* p = std::malloc(bytes);
    if (p == nullptr) {
        sim::SetLastError(kErrorNotEnoughMemory);
    }
    return p;
}

void FreeFixed(void* block) { std::free(block); }

}  // namespace quor::platform
