#include "quorsharemgr/platform/posix/SimClipboard.h"

#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform::sim {

SimClipboard& SimClipboard::Get()
{
    static SimClipboard clipboard;
    return clipboard;
}

void SimClipboard::SyncWithMachine()
{
    const std::uint64_t resets = SimMachine::Get().ResetCount();
    if (resets == seenResets_) {
        return;
    }
    seenResets_ = resets;
    blocks.clear();
    open = false;
    opener = {};
    owner = 0;
    changed = false;
    formats.clear();
    registered.clear();
    names.clear();
    nextRegistered = 0xC000;
    sequence = 1;
    listeners.clear();
}

void SimClipboard::FreeBlock(std::uintptr_t block)
{
    blocks.erase(block);
}

}  // namespace quor::platform::sim
