#include "quorsharemgr/platform/GlobalMemory.h"

#include <algorithm>
#include <mutex>

#include "quorsharemgr/platform/posix/SimClipboard.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {
sim::SimClipboard::Block* Find(sim::SimClipboard& c, MemHandle block)
{
    auto it = c.blocks.find(reinterpret_cast<std::uintptr_t>(block));
    return it == c.blocks.end() ? nullptr : &it->second;
}
}  // namespace

MemHandle GlobalAlloc(std::size_t bytes)
{
    if (sim::FailsAt("GlobalMemory.GlobalAlloc")) {
        return nullptr;
    }
    auto& c = sim::SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    const std::size_t rounded = bytes == 0 ? 8 : (bytes + 7) / 8 * 8;
    const std::uintptr_t id = c.nextBlock;
    c.nextBlock += 16;
    sim::SimClipboard::Block& b = c.blocks[id];
    b.bytes.resize(rounded);
    std::fill(b.bytes.begin() + static_cast<std::ptrdiff_t>(bytes), b.bytes.end(), 0xCD);
    return reinterpret_cast<MemHandle>(id);
}

MemHandle GlobalFree(MemHandle block)
{
    auto& c = sim::SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    if (Find(c, block) == nullptr) {
        sim::SetLastError(kErrorInvalidHandle);
        return block;
    }
    c.FreeBlock(reinterpret_cast<std::uintptr_t>(block));
    return nullptr;
}

void* GlobalLock(MemHandle block)
{
    if (sim::FailsAt("GlobalMemory.GlobalLock")) {
        return nullptr;
    }
    auto& c = sim::SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    sim::SimClipboard::Block* b = Find(c, block);
    if (b == nullptr) {
        sim::SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    ++b->locks;
    return b->bytes.data();
}

bool GlobalUnlock(MemHandle block)
{
    auto& c = sim::SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    sim::SimClipboard::Block* b = Find(c, block);
    if (b == nullptr) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (b->locks > 0) {
        --b->locks;
    }
    sim::SetLastError(kErrorSuccess);
    return b->locks > 0;
}

std::size_t GlobalSize(MemHandle block)
{
    auto& c = sim::SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    sim::SimClipboard::Block* b = Find(c, block);
    if (b == nullptr) {
        sim::SetLastError(kErrorInvalidHandle);
        return 0;
    }
    return b->bytes.size();
}

}  // namespace quor::platform
