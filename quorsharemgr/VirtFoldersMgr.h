// Hands out the virtual share names under which the host reads files the guest user
// copied, and removes older shares from the file-share server once the host has left them.
//
// States: not initialised -> Init -> running (the clean-up thread wakes every interval)
// -> Stop -> not initialised. The table survives Stop and a following Init.
// Threads: the window thread calls CreateShareName (through the capture side); the
// clean-up thread runs CleanupPass; the main or window thread calls Init and Stop.
// Locks: `lock_` guards `shares_` and `currentShare_` for the whole of CreateShareName and
// of a clean-up pass, server calls included; the server's own lock is taken inside it,
// never the other way round. `stopM_` guards only the stop event and the thread's end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
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

    explicit VirtFoldersMgr(Clock clock = {}, std::chrono::milliseconds interval = std::chrono::milliseconds(5000));
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
    void CleanupThread();

    std::atomic<std::uint32_t> initialised_{0};
    fs::FuseServerInterface* server_ = nullptr;
    std::map<std::string, VirtFolderEntry> shares_;
    std::string currentShare_;
    mutable std::mutex lock_;
    std::thread cleanupThread_;
    // The stop event (auto-reset) and the thread's end, signalled through `stopCv_`.
    std::mutex stopM_;
    std::condition_variable stopCv_;
    bool stopSet_ = false;
    bool threadDone_ = false;
    Clock clock_;
    std::chrono::milliseconds interval_;
};

}  // namespace quor
