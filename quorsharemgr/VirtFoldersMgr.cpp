#include "quorsharemgr/VirtFoldersMgr.h"

#include <ctime>
#include <system_error>
#include <utility>

#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"

namespace quor {

VirtFoldersMgr::VirtFoldersMgr(Clock clock, std::chrono::milliseconds interval, std::chrono::milliseconds stopMs)
    : table_(std::make_shared<Table>()), interval_(interval), stopMs_(stopMs)
{
    table_->clock = clock ? std::move(clock) : Clock([] { return static_cast<std::int64_t>(std::time(nullptr)); });
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
    if (initialised_.load() != 0) {
        Stop();  // a second Init without Stop must not leave a running thread behind
    }
    {
        std::lock_guard<std::mutex> g(table_->lock);
        table_->server = server;
    }
    auto run = std::make_shared<Run>();
    try {
        cleanupThread_ = std::thread(&VirtFoldersMgr::CleanupThread, table_, run, interval_);
    } catch (const std::system_error& e) {
        QLOG(kLogError, "CreateThread failed with error: {}", e.code().value());
        return static_cast<std::uint32_t>(e.code().value());
    }
    run_ = std::move(run);
    initialised_.store(1);
    return 0;
}

void VirtFoldersMgr::Stop()
{
    if (initialised_.load() == 0) {
        return;
    }
    bool ended = false;
    {
        std::unique_lock<std::mutex> g(run_->m);
        run_->stopSet = true;
        run_->cv.notify_all();
        ended = run_->cv.wait_for(g, stopMs_, [this] { return run_->done; });
    }
    if (ended) {
        cleanupThread_.join();
    } else {
        // A pass is still inside a server call under the folders lock. Cutting the thread
        // off there would leave that lock held for good; it ends on its own after the call.
        QLOG(kLogWarning, "Clean-up thread did not stop within {} ms: left to end after its pass",
             static_cast<long long>(stopMs_.count()));
        cleanupThread_.detach();
    }
    run_.reset();
    initialised_.store(0);
}

std::string VirtFoldersMgr::CreateShareName(const fs::ShareFiles& files)
{
    if (initialised_.load() == 0) {
        throw kNotInitialised;
    }
    Table& table = *table_;
    const std::int64_t t = table.clock();
    std::lock_guard<std::mutex> g(table.lock);
    std::string name;
    for (std::uint64_t i = 0;; ++i) {
        name = "clipboard_" + std::to_string(static_cast<std::uint64_t>(t) + i);
        if (table.shares.find(name) == table.shares.end()) {
            break;
        }
    }
    if (!table.server->AddShareName(name, files, t, true, true)) {
        throw kShareRefused;
    }
    table.shares[name] = VirtFolderEntry{t, true};
    const auto previous = table.shares.find(table.currentShare);
    if (previous != table.shares.end() && previous->first != name) {
        previous->second.current = false;
    }
    table.currentShare = name;
    return name;
}

void VirtFoldersMgr::CleanupPass() { CleanupPass(*table_); }

void VirtFoldersMgr::CleanupPass(Table& table)
{
    std::lock_guard<std::mutex> g(table.lock);
    if (table.server == nullptr) {
        return;
    }
    for (auto it = table.shares.begin(); it != table.shares.end();) {
        const VirtFolderEntry& entry = it->second;
        if (entry.current) {
            ++it;
            continue;
        }
        const std::int64_t now = table.clock();
        std::int64_t access = 0;
        if (!table.server->GetShareAccessTime(it->first, access)) {
            ++it;
            continue;
        }
        const auto sinceCreated = static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(entry.created);
        const auto sinceAccess = static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(access);
        if ((access == entry.created && sinceCreated < 10) || sinceAccess <= 30) {
            ++it;
            continue;
        }
        if (table.server->RemoveShareName(it->first, false) == 0) {
            it = table.shares.erase(it);
        } else {
            ++it;
        }
    }
}

void VirtFoldersMgr::CleanupThread(std::shared_ptr<Table> table, std::shared_ptr<Run> run,
                                   std::chrono::milliseconds interval)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> g(run->m);
            if (run->cv.wait_for(g, interval, [&] { return run->stopSet; })) {
                run->stopSet = false;  // auto-reset
                run->done = true;
                run->cv.notify_all();
                return;
            }
        }
        CleanupPass(*table);
    }
}

std::map<std::string, VirtFolderEntry> VirtFoldersMgr::Shares() const
{
    std::lock_guard<std::mutex> g(table_->lock);
    return table_->shares;
}

std::string VirtFoldersMgr::CurrentShare() const
{
    std::lock_guard<std::mutex> g(table_->lock);
    return table_->currentShare;
}

}  // namespace quor
