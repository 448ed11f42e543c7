#include "quorsharemgr/VirtFoldersMgr.h"

#include <ctime>
#include <system_error>
#include <utility>

#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"

namespace quor {

VirtFoldersMgr::VirtFoldersMgr(Clock clock, std::chrono::milliseconds interval)
    : clock_(clock ? std::move(clock) : Clock([] { return static_cast<std::int64_t>(std::time(nullptr)); })),
      interval_(interval)
{
}

VirtFoldersMgr::~VirtFoldersMgr()
{
    Stop();
}

std::uint32_t VirtFoldersMgr::Init(fs::FuseServerInterface* server)
{
    if (server == nullptr) {
        QLOG(kLogError, "Fuse server Interface is a null pointer");
        return platform::kErrorInvalidData;
    }
    if (cleanupThread_.joinable()) {
        Stop();  // a second Init without Stop must not leave a running thread behind
    }
    server_ = server;
    {
        std::lock_guard<std::mutex> g(stopM_);
        stopSet_ = false;
        threadDone_ = false;
    }
    try {
        cleanupThread_ = std::thread([this] { CleanupThread(); });
    } catch (const std::system_error& e) {
        QLOG(kLogError, "CreateThread failed with error: {}", e.code().value());
        return static_cast<std::uint32_t>(e.code().value());
    }
    initialised_.store(1);
    return 0;
}

void VirtFoldersMgr::Stop()
{
    if (initialised_.load() == 0) {
        return;
    }
    std::unique_lock<std::mutex> g(stopM_);
    stopSet_ = true;
    stopCv_.notify_all();
    if (!stopCv_.wait_for(g, std::chrono::milliseconds(5000), [this] { return threadDone_; })) {
        // A pass still runs the server calls under the folders lock. Cutting the thread off
        // there would leave that lock held for good, so it is waited for instead.
        QLOG(kLogWarning, "Terminate Thread for Cleanup.");
    }
    g.unlock();
    cleanupThread_.join();
    initialised_.store(0);
}

std::string VirtFoldersMgr::CreateShareName(const fs::ShareFiles& files)
{
    if (initialised_.load() == 0) {
        throw kNotInitialised;
    }
    const std::int64_t t = clock_();
    std::lock_guard<std::mutex> g(lock_);
    std::string name;
    for (std::uint64_t i = 0;; ++i) {
        name = "clipboard_" + std::to_string(static_cast<std::uint64_t>(t) + i);
        if (shares_.find(name) == shares_.end()) {
            break;
        }
    }
    if (!server_->AddShareName(name, files, t, true, true)) {
        throw kShareRefused;
    }
    shares_[name] = VirtFolderEntry{t, true};
    const auto previous = shares_.find(currentShare_);
    if (previous != shares_.end() && previous->first != name) {
        previous->second.current = false;
    }
    currentShare_ = name;
    return name;
}

void VirtFoldersMgr::CleanupPass()
{
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = shares_.begin(); it != shares_.end();) {
        const VirtFolderEntry& entry = it->second;
        if (entry.current) {
            ++it;
            continue;
        }
        const std::int64_t now = clock_();
        std::int64_t access = 0;
        if (!server_->GetShareAccessTime(it->first, access)) {
            ++it;
            continue;
        }
        const auto sinceCreated = static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(entry.created);
        const auto sinceAccess = static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(access);
        if ((access == entry.created && sinceCreated < 10) || sinceAccess <= 30) {
            ++it;
            continue;
        }
        if (server_->RemoveShareName(it->first, false) == 0) {
            it = shares_.erase(it);
        } else {
            ++it;
        }
    }
}

void VirtFoldersMgr::CleanupThread()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> g(stopM_);
            if (stopCv_.wait_for(g, interval_, [this] { return stopSet_; })) {
                stopSet_ = false;  // auto-reset
                threadDone_ = true;
                stopCv_.notify_all();
                return;
            }
        }
        CleanupPass();
    }
}

std::map<std::string, VirtFolderEntry> VirtFoldersMgr::Shares() const
{
    std::lock_guard<std::mutex> g(lock_);
    return shares_;
}

std::string VirtFoldersMgr::CurrentShare() const
{
    std::lock_guard<std::mutex> g(lock_);
    return currentShare_;
}

}  // namespace quor
