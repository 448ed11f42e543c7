// Hands out the virtual share names under which the host reads files the guest user
// copied, and removes older shares from the file-share server once the host has left them.
//
// States: not initialised -> Init -> running (the clean-up thread wakes every interval)
// -> Stop -> not initialised. The table survives Stop and a following Init.
// Threads: the window thread calls CreateShareName (through the capture side); the
// clean-up thread runs CleanupPass; the main or window thread calls Init and Stop.
// Locks: `Table::lock` guards the shares and the current share for the whole of
// CreateShareName and of a clean-up pass, server calls included; the server's own lock is
// taken inside it, never the other way round. `Run::m` guards only one clean-up thread's
// stop event and end.
// Ownership: the table and each thread's stop state are shared with the clean-up thread.
// Stop waits kStopMs for the thread; one still inside a server call then is detached, not
// cut off (it would leave the table's lock held for good): it ends after that call, at the
// stop it finds set, and touches nothing of the manager but the shared state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fileshare/src/FuseServerInterface.h"
#include "fileshare/src/ShareEntry.h"

namespace quor {

struct VirtFolderEntry {
    std::int64_t created = 0;  // seconds since 1970; also the share's first access time
    bool current = false;      // only entries that are not current are ever removed
};

class VirtFoldersMgr {
public:
    // Thrown by CreateShareName (as std::uint32_t).
    static constexpr std::uint32_t kNotInitialised = 322;
    static constexpr std::uint32_t kShareRefused = 183;  // ERROR_ALREADY_EXISTS

    using Clock = std::function<std::int64_t()>;  // seconds since 1970, as time(NULL)

    static constexpr std::chrono::milliseconds kStopMs{5000};

    explicit VirtFoldersMgr(Clock clock = {}, std::chrono::milliseconds interval = std::chrono::milliseconds(5000),
                            std::chrono::milliseconds stopMs = kStopMs);
    ~VirtFoldersMgr();
    VirtFoldersMgr(const VirtFoldersMgr&) = delete;
    VirtFoldersMgr& operator=(const VirtFoldersMgr&) = delete;

    // 0, 13 for a null server, or the error of starting the clean-up thread.
    std::uint32_t Init(fs::FuseServerInterface* server);
    void Stop();
    // A new hidden, read-only share holding `files`; throws std::uint32_t on failure.
    std::string CreateShareName(const fs::ShareFiles& files);
    // One pass of the clean-up thread.
    void CleanupPass();

    bool IsInitialised() const { return initialised_.load() != 0; }
    std::map<std::string, VirtFolderEntry> Shares() const;
    std::string CurrentShare() const;

private:
    struct Table {
        mutable std::mutex lock;
        fs::FuseServerInterface* server = nullptr;
        std::map<std::string, VirtFolderEntry> shares;
        std::string currentShare;
        Clock clock;
    };
    // One clean-up thread's stop event (auto-reset) and end.
    struct Run {
        std::mutex m;
        std::condition_variable cv;
        bool stopSet = false;
        bool done = false;
    };
    static void CleanupPass(Table& table);
    static void CleanupThread(std::shared_ptr<Table> table, std::shared_ptr<Run> run,
                              std::chrono::milliseconds interval);

    std::atomic<std::uint32_t> initialised_{0};
    std::shared_ptr<Table> table_;
    std::shared_ptr<Run> run_;
    std::thread cleanupThread_;
    std::chrono::milliseconds interval_;
    std::chrono::milliseconds stopMs_;
};

}  // namespace quor
