#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>

#include "fileshare/src/FuseServerInterface.h"
#include "quorsharemgr/VirtFoldersMgr.h"
#include "tests/support/TestLog.h"
#include "tests/support/WaitUntil.h"

using quor::VirtFoldersMgr;

namespace {

// The file-share server as the folders manager sees it: a share table with access times.
class FakeServer : public quor::fs::FuseServerInterface {
public:
    bool Start(std::uint32_t) override { return true; }
    bool AddShareName(const std::string& name, const quor::fs::ShareFiles& files, std::int64_t accessTime, bool hidden,
                      bool readOnly) override
    {
        std::lock_guard<std::mutex> g(m);
        if (refuseAdd || shares.count(name) != 0) {
            return false;
        }
        shares[name] = accessTime;
        lastFiles = files;
        lastHidden = hidden;
        lastReadOnly = readOnly;
        return true;
    }
    std::int32_t RemoveShareName(const std::string& name, bool force) override
    {
        std::lock_guard<std::mutex> g(m);
        ++removeCalls;
        EXPECT_FALSE(force);
        if (busy.count(name) != 0) {
            return 1;
        }
        if (shares.erase(name) == 0) {
            return 2;
        }
        changed.notify_all();
        return 0;
    }
    bool GetShareAccessTime(const std::string& name, std::int64_t& accessTime) override
    {
        std::unique_lock<std::mutex> g(m);
        if (stall) {
            stalled = true;
            changed.notify_all();
            changed.wait(g, [&] { return !stall; });
            stalled = false;
            changed.notify_all();
            return false;  // the last touch of this object by the caller's thread
        }
        auto it = shares.find(name);
        if (it == shares.end() || unknownTime) {
            return false;
        }
        accessTime = it->second;
        return true;
    }
    quor::platform::PortHandle GetPortHandle() override { return quor::platform::kInvalidPort; }
    void OnPortStatus(bool) override {}

    std::mutex m;
    std::condition_variable changed;
    std::map<std::string, std::int64_t> shares;
    std::map<std::string, int> busy;
    quor::fs::ShareFiles lastFiles;
    bool lastHidden = false;
    bool lastReadOnly = false;
    bool refuseAdd = false;
    bool unknownTime = false;
    bool stall = false;    // access-time calls wait until it is cleared
    bool stalled = false;  // one is waiting
    int removeCalls = 0;
};

constexpr std::int64_t kT0 = 1700000000;

struct Fixture {
    Fixture() : mgr([this] { return now.load(); }, std::chrono::hours(1)) { quortest::ProcessLogPath(); }
    std::atomic<std::int64_t> now{kT0};
    FakeServer server;
    VirtFoldersMgr mgr;
};

}  // namespace

TEST(VirtFoldersMgr, NamesFromTheSecondAndTheNextFree)
{
    Fixture f;
    ASSERT_EQ(f.mgr.Init(&f.server), 0U);
    const quor::fs::ShareFiles files{{"a.txt", "C:\\a.txt"}};
    EXPECT_EQ(f.mgr.CreateShareName(files), "clipboard_1700000000");
    EXPECT_EQ(f.mgr.CreateShareName(files), "clipboard_1700000001");
    EXPECT_EQ(f.server.lastFiles, files);
    EXPECT_TRUE(f.server.lastHidden);
    EXPECT_TRUE(f.server.lastReadOnly);
    EXPECT_EQ(f.server.shares["clipboard_1700000001"], kT0);
    const auto shares = f.mgr.Shares();
    EXPECT_FALSE(shares.at("clipboard_1700000000").current);
    EXPECT_TRUE(shares.at("clipboard_1700000001").current);
    EXPECT_EQ(f.mgr.CurrentShare(), "clipboard_1700000001");
}

TEST(VirtFoldersMgr, CreateShareNameThrowsAndChangesNothing)
{
    Fixture f;
    try {
        (void)f.mgr.CreateShareName({});
        ADD_FAILURE() << "no throw on a stopped manager";
    } catch (std::uint32_t e) {
        EXPECT_EQ(e, 322U);
    }
    ASSERT_EQ(f.mgr.Init(&f.server), 0U);
    f.server.refuseAdd = true;
    try {
        (void)f.mgr.CreateShareName({});
        ADD_FAILURE() << "no throw on a refused share";
    } catch (std::uint32_t e) {
        EXPECT_EQ(e, 183U);
    }
    EXPECT_TRUE(f.mgr.Shares().empty());
    EXPECT_EQ(f.mgr.CurrentShare(), "");
    f.server.refuseAdd = false;
    EXPECT_EQ(f.mgr.CreateShareName({}), "clipboard_1700000000");  // the lock was released
}

TEST(VirtFoldersMgr, InitRefusesANullServerAndStopWithoutStartDoesNothing)
{
    Fixture f;
    f.mgr.Stop();
    quortest::LogTail tail;
    EXPECT_EQ(f.mgr.Init(nullptr), 13U);
    EXPECT_TRUE(tail.Contains("[E]")) << tail.Since();
    EXPECT_TRUE(tail.Contains("Fuse server Interface is a null pointer"));
    EXPECT_FALSE(f.mgr.IsInitialised());
}

// Idle rules of a pass, with the clock moved by the test.
TEST(VirtFoldersMgr, CleanupPassRemovesWhatTheHostLeft)
{
    struct Case {
        const char* name;
        std::int64_t accessAfter;  // host access, seconds after creation (0: never opened)
        std::int64_t passAt;       // seconds after creation
        bool busy;
        bool removed;
    };
    const Case cases[] = {
        {"never opened, 9 s", 0, 9, false, false},
        {"never opened, 10 s", 0, 10, false, false},   // access == created: kept while now - access <= 30
        {"never opened, 30 s", 0, 30, false, false},
        {"never opened, 31 s", 0, 31, false, true},
        {"opened 30 s ago", 5, 35, false, false},
        {"opened 31 s ago", 5, 36, false, true},
        {"busy", 0, 100, true, false},
        {"clock went back", 0, -5, false, true},
    };
    for (const Case& c : cases) {
        Fixture f;
        ASSERT_EQ(f.mgr.Init(&f.server), 0U);
        const std::string old = f.mgr.CreateShareName({});
        if (c.accessAfter != 0) {
            f.server.shares[old] = kT0 + c.accessAfter;
        }
        f.now = kT0 + 1;
        const std::string current = f.mgr.CreateShareName({});
        f.server.shares[current] = kT0 - 1000;  // the current one is never removed, however old
        if (c.busy) {
            f.server.busy[old] = 1;
        }
        f.now = kT0 + c.passAt;
        f.mgr.CleanupPass();
        const auto shares = f.mgr.Shares();
        EXPECT_EQ(shares.count(old) == 0, c.removed) << c.name;
        EXPECT_EQ(f.server.shares.count(old) == 0, c.removed) << c.name;
        EXPECT_EQ(shares.count(current), 1U) << c.name;
        if (c.busy) {
            f.server.busy.clear();
            f.mgr.CleanupPass();  // the next pass tries again
            EXPECT_EQ(f.mgr.Shares().count(old), 0U) << c.name;
        }
    }
}

TEST(VirtFoldersMgr, AShareWithoutAccessTimeStays)
{
    Fixture f;
    ASSERT_EQ(f.mgr.Init(&f.server), 0U);
    const std::string old = f.mgr.CreateShareName({});
    (void)f.mgr.CreateShareName({});
    f.server.unknownTime = true;
    f.now = kT0 + 1000;
    f.mgr.CleanupPass();
    EXPECT_EQ(f.mgr.Shares().count(old), 1U);
    EXPECT_EQ(f.server.removeCalls, 0);
}

// The thread itself: with a short interval it removes an idle share on its own, and Stop
// ends it; the table survives Stop and a new Init.
TEST(VirtFoldersMgr, CleanupThreadRunsPassesUntilStopped)
{
    quortest::ProcessLogPath();
    std::atomic<std::int64_t> now{kT0};
    FakeServer server;
    VirtFoldersMgr mgr([&] { return now.load(); }, std::chrono::milliseconds(1));
    ASSERT_EQ(mgr.Init(&server), 0U);
    const std::string old = mgr.CreateShareName({});
    const std::string current = mgr.CreateShareName({});
    now = kT0 + 100;
    {
        std::unique_lock<std::mutex> g(server.m);
        ASSERT_TRUE(server.changed.wait_for(g, std::chrono::seconds(60), [&] { return server.shares.count(old) == 0; }));
    }
    mgr.Stop();
    EXPECT_FALSE(mgr.IsInitialised());
    EXPECT_EQ(mgr.Shares().count(current), 1U);
    ASSERT_EQ(mgr.Init(&server), 0U);
    EXPECT_EQ(mgr.CurrentShare(), current);
    mgr.Stop();
}

// A pass stuck in a server call does not hold Stop beyond its bound: Stop says what it
// does (no termination), leaves the thread to end after the call, and the manager can go
// meanwhile; the thread then ends on state that outlives the manager.
TEST(VirtFoldersMgr, StopIsBoundedWhileAPassIsStuckInTheServer)
{
    quortest::ProcessLogPath();
    std::atomic<std::int64_t> now{kT0};
    FakeServer server;
    auto mgr = std::make_unique<VirtFoldersMgr>([&] { return now.load(); }, std::chrono::milliseconds(1),
                                                std::chrono::milliseconds(50));
    ASSERT_EQ(mgr->Init(&server), 0U);
    (void)mgr->CreateShareName({});
    (void)mgr->CreateShareName({});  // the first is no longer current: passes ask for its time
    {
        std::unique_lock<std::mutex> g(server.m);
        server.stall = true;
        ASSERT_TRUE(server.changed.wait_for(g, std::chrono::seconds(60), [&] { return server.stalled; }));
    }
    quortest::LogTail log;
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        mgr->Stop();
        stopped = true;
    });
    const bool bounded = quortest::WaitUntil([&] { return stopped.load(); }, 20000);
    EXPECT_TRUE(bounded);
    if (bounded) {
        EXPECT_FALSE(mgr->IsInitialised());
        EXPECT_TRUE(log.Contains("Clean-up thread did not stop within 50 ms")) << log.Since();
        EXPECT_FALSE(log.Contains("Terminate Thread")) << log.Since();
        mgr.reset();  // while the thread still waits in the server
    }
    {
        std::lock_guard<std::mutex> g(server.m);
        server.stall = false;
        server.changed.notify_all();
    }
    stopper.join();
    std::unique_lock<std::mutex> g(server.m);
    EXPECT_TRUE(server.changed.wait_for(g, std::chrono::seconds(60), [&] { return !server.stalled; }));
}
