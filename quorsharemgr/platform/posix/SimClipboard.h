// The simulated machine's desktop clipboard and its global memory (posix only).
//
// One system-wide clipboard with Windows' rules: one opener at a time (a window, or the
// opening thread when the window is null); EmptyClipboard makes the opener the owner;
// SetClipboardData takes over the block; a sequence number that moves on every change;
// registered formats from 0xC000 with their names (case-insensitive, as Windows compares
// them); format listeners told on the machine's event bus after the CloseClipboard that
// follows a change. Global blocks are rounded up to 8 bytes and the slack is filled with
// 0xCD, so code that looks for a terminator past the content finds none; the rest of a
// new block is left unwritten, as Windows leaves it without GMEM_ZEROINIT.
// Threads: every call may come from any thread; one mutex guards everything. The state
// starts afresh whenever the simulated machine is reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "shared/lib/DefaultInitAllocator.h"

namespace quor::platform::sim {

class SimClipboard {
public:
    static SimClipboard& Get();

    struct Block {
        ByteBuffer bytes;
        int locks = 0;
    };
    struct Opener {
        std::uintptr_t window = 0;
        std::thread::id thread;
        bool operator==(const Opener&) const = default;
    };

    std::mutex m;
    std::map<std::uintptr_t, Block> blocks;
    std::uintptr_t nextBlock = 0x10000;
    bool open = false;
    Opener opener;
    std::uintptr_t owner = 0;
    bool changed = false;
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> formats;  // in the order they were set
    std::map<std::u16string, std::uint32_t> registered;            // upper-cased name -> number
    std::map<std::uint32_t, std::u16string> names;
    std::uint32_t nextRegistered = 0xC000;
    std::uint32_t sequence = 1;
    std::set<std::uintptr_t> listeners;

    // Under `m`: drop everything when the machine was reset since the last call.
    void SyncWithMachine();
    void FreeBlock(std::uintptr_t block);

private:
    std::uint64_t seenResets_ = ~0ULL;
};

}  // namespace quor::platform::sim
