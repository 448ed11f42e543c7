// The hidden clipboard window and the data object it places, on the simulated desktop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quorsharemgr/BitmapSendProcess.h"
#include "quorsharemgr/ClipboardShareWindow.h"
#include "quorsharemgr/FilesSendProcess.h"
#include "quorsharemgr/ShareDataObject.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/TextHtmlSendProcess.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/DataObject.h"
#include "quorsharemgr/platform/ShellItems.h"
#include "quorsharemgr/platform/posix/SimCom.h"
#include "quorsharemgr/platform/posix/SimWindows.h"
#include "shared/lib/platform/WinErrors.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/SimMachineFixture.h"

namespace p = quor::platform;

namespace {

using quortest::WaitUntil;

class ShareWindowSim : public quortest::SimMachineTest {
protected:
    void SetUp() override { ASSERT_EQ(window_.Init(), 0U); }
    void TearDown() override { window_.Destroy(); }

    std::vector<std::pair<std::string, std::uint32_t>> Sent()
    {
        std::lock_guard<std::mutex> g(m_);
        return sent_;
    }
    // Runs `f` on the window thread (through the sync message's handler) and waits for it.
    void OnWindowThread(std::function<void()> f)
    {
        std::atomic<bool> done{false};
        auto* job = new std::function<void()>([&] {
            f();
            done.store(true);
        });
        runner_ = job;
        ASSERT_TRUE(p::PostMessageW(window_.Hwnd(), quor::SyncClipboardDataToHostMessage(), 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
        delete job;
        runner_ = nullptr;
    }

    std::mutex m_;
    std::vector<std::pair<std::string, std::uint32_t>> sent_;
    std::function<void()>* runner_ = nullptr;
    std::atomic<int> syncs_{0};
    quor::ClipboardShareWindow window_{[this] {
                                           ++syncs_;
                                           if (runner_ != nullptr) {
                                               (*runner_)();
                                           }
                                       },
                                       [](std::uintptr_t, std::intptr_t) {},
                                       [](const quor::ShareFileMap&) { return std::string("s1"); },
                                       [this](const char* name, std::uint32_t format) {
                                           std::lock_guard<std::mutex> g(m_);
                                           sent_.emplace_back(name, format);
                                       }};
};

TEST_F(ShareWindowSim, SecondInitChangesNothing)
{
    const p::WindowHandle hwnd = window_.Hwnd();
    EXPECT_EQ(window_.Init(), p::kErrorAlreadyInitialized);
    EXPECT_EQ(window_.Hwnd(), hwnd);
    EXPECT_EQ(p::sim::WindowCount(), 1U);
    EXPECT_EQ(p::sim::DeviceRegistrations(), 2U);
}

TEST_F(ShareWindowSim, DestroyEndsTheThreadAndAWindowCanBeMadeAgain)
{
    window_.Destroy();
    EXPECT_EQ(p::sim::WindowCount(), 0U);
    EXPECT_EQ(p::sim::DeviceRegistrations(), 0U);
    EXPECT_FALSE(window_.IsInitialised());
    EXPECT_EQ(window_.Init(), 0U);  // the class registered by the first Init is used again
}

TEST_F(ShareWindowSim, ClipboardChangesOnlyRaiseTheFlag)
{
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(p::OpenClipboard(reinterpret_cast<p::WindowHandle>(0x5150)));
        ASSERT_TRUE(p::EmptyClipboard());
        ASSERT_TRUE(p::CloseClipboard());
    }
    ASSERT_TRUE(WaitUntil([&] { return window_.ClipboardChanged().load() == 1; }));
    EXPECT_EQ(syncs_.load(), 0);
}

TEST_F(ShareWindowSim, OpenClipboardWithRetrySleepsAndLogs)
{
    struct Case {
        int busy;
        bool ok;
        std::vector<std::uint32_t> sleeps;
        const char* log;
    };
    const std::vector<Case> cases = {
        {0, true, {}, nullptr},
        {2, true, {1, 2}, "3 times tried to open clipboard"},
        {9, true, {1, 2, 4, 8, 16, 32, 64, 128, 256}, "10 times tried to open clipboard"},
        {10, false, {1, 2, 4, 8, 16, 32, 64, 128, 256, 512}, "Failed to open clipboard with error: 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.busy);
        std::vector<std::uint32_t> sleeps;
        window_.SetSleepForTest([&](std::uint32_t ms) { sleeps.push_back(ms); });
        if (c.busy > 0) {
            sim_.Faults().Arm("Clipboard.OpenClipboard", {p::kErrorAccessDenied, 0, c.busy, false});
        }
        quortest::LogTail log;
        EXPECT_EQ(window_.OpenClipboardWithRetry(), c.ok);
        EXPECT_EQ(sleeps, c.sleeps);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.Contains(c.log)) << log.Since();
        } else {
            EXPECT_EQ(log.Since(), "");
        }
        EXPECT_TRUE(window_.CloseClipboard());
        sim_.Faults().Clear();
    }
    // Closing a clipboard that is not open counts as success.
    quortest::LogTail log;
    EXPECT_TRUE(window_.CloseClipboard());
    EXPECT_EQ(log.Since(), "");
}

TEST_F(ShareWindowSim, CreateSendProcessChoosesBySenderTable)
{
    struct Case {
        std::uint32_t bits;
        int kind;  // 0 none, 1 files, 2 text/HTML, 3 bitmap
    };
    const std::vector<Case> cases = {{0, 0}, {1, 3}, {2, 1}, {3, 0}, {4, 2}, {5, 2}, {8, 2}, {12, 2}, {15, 2}, {6, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        const auto s = window_.CreateSendProcess(c.bits);
        const int kind = s == nullptr                                                  ? 0
                         : dynamic_cast<quor::FilesSendProcess*>(s.get()) != nullptr   ? 1
                         : dynamic_cast<quor::TextHtmlSendProcess*>(s.get()) != nullptr ? 2
                         : dynamic_cast<quor::BitmapSendProcess*>(s.get()) != nullptr  ? 3
                                                                                        : -1;
        EXPECT_EQ(kind, c.kind);
    }
}

TEST_F(ShareWindowSim, PostedNamesReachTheWindowThread)
{
    EXPECT_FALSE(window_.PostDeleteShareName(nullptr));
    EXPECT_FALSE(window_.PostClipboardPutFiles(nullptr));
    ASSERT_TRUE(window_.PostDeleteShareName("gone_1"));
    ASSERT_TRUE(WaitUntil([&] { return !Sent().empty(); }));
    EXPECT_EQ(Sent(), (std::vector<std::pair<std::string, std::uint32_t>>{{"gone_1", quor::ShareFormatReleaseShareName}}));
}

TEST_F(ShareWindowSim, PutFilesFailuresPlaceNothing)
{
    std::filesystem::create_directories(sim_.Path() / "unc" / "Velt" / "empty");
    // A name outside ASCII reaches the shell as UTF-16, not in the ANSI code page.
    const std::string wideName = "\xE5\x85\xB1\xE6\x9C\x89 \xC3\xA9t\xC3\xA9";
    std::filesystem::create_directories(sim_.Path() / "unc" / "Velt" / wideName);
    std::ofstream(sim_.Path() / "unc" / "Velt" / wideName / "f.txt") << "f";
    struct Case {
        const char* share;
        const char* fault;
        int failures;  // calls that fail at the fault point (-1: every one)
        bool ok;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"missing", nullptr, 0, false, "ILCreateFromPathA failed"},
        {"empty", "Shell.SHBindToObject", 1, false, "SHBindToObject failed with error: -2147467259"},
        {"empty", "Shell.EnumObjects", 1, false, "EnumObjects failed with error: -2147467259"},
        {"empty", "Shell.GetUIObjectOf", 1, false, "GetUIObjectOf failed with error: -2147467259"},
        // Another application keeps the clipboard open: retried as the clipboard open is.
        {"empty", "OleClipboard.OleSetClipboard", -1, false, "OleSetClipboard failed with error: -2147467259"},
        {"empty", "OleClipboard.OleSetClipboard", 3, true, "4 times tried to set the OLE clipboard"},
        {"empty", nullptr, 0, true, nullptr},  // zero items (the shell's S_FALSE) still make a data object
        {wideName.c_str(), nullptr, 0, true, nullptr},
    };
    std::vector<std::uint32_t> sleeps;
    window_.SetSleepForTest([&](std::uint32_t ms) { sleeps.push_back(ms); });
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.share) + (c.fault ? c.fault : ""));
        if (c.fault != nullptr) {
            sim_.Faults().Arm(c.fault, {p::kErrorAccessDenied, 0, c.failures, false});
        }
        quortest::LogTail log;
        bool ok = false;
        sleeps.clear();
        OnWindowThread([&] { ok = window_.PutFilesToClipboard(c.share); });
        EXPECT_EQ(ok, c.ok);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.Contains(c.log)) << log.Since();
        }
        if (c.fault != nullptr && std::string(c.fault) == "OleClipboard.OleSetClipboard") {
            const std::vector<std::uint32_t> want =
                c.ok ? std::vector<std::uint32_t>{1, 2, 4} : std::vector<std::uint32_t>{1, 2, 4, 8, 16, 32, 64, 128, 256};
            EXPECT_EQ(sleeps, want);
        }
        EXPECT_EQ(p::sim::LiveShellDataObjects(), c.ok ? 1 : 0);
        if (c.ok) {
            p::sim::SimUnknown* held = p::sim::HeldObject();
            ASSERT_NE(held, nullptr);
            const std::vector<std::string> items = held->Items();
            (void)held->Release();
            if (c.share == wideName.c_str()) {
                EXPECT_EQ(items, std::vector<std::string>{"\\\\Velt\\" + wideName + "\\f.txt"});
            }
        }
        sim_.Faults().Clear();
    }
}

// One object, two interfaces, one count: every path that takes a reference gives it back,
// and the last one sends ReleaseShareName exactly once.
TEST(ShareDataObject, OneCountAcrossBothInterfacesAndAsyncOperations)
{
    quortest::FreshSimMachine sim;
    const auto share = sim.Path() / "unc" / "Velt" / "s";
    std::filesystem::create_directories(share);
    std::ofstream(share / "f") << "f";
    p::IdList pidl = p::ILCreateFromPathW(u"\\\\Velt\\s");
    ASSERT_NE(pidl, nullptr);
    p::ShellFolder folder = nullptr;
    ASSERT_EQ(p::SHBindToObject(pidl, &folder), p::kSOk);
    void* inner = nullptr;
    ASSERT_EQ(p::GetUIObjectOf(folder, nullptr, 0, nullptr, &inner), p::kSOk);
    p::ReleaseFolder(folder);
    p::ILFree(pidl);

    std::vector<std::string> released;
    quor::ShareDataObject* obj = quor::ShareDataObject::Create(
        inner, "s", [&](const char* name, std::uint32_t format) {
            EXPECT_EQ(format, quor::ShareFormatReleaseShareName);
            released.emplace_back(name);
        });
    struct Query {
        quor::Guid iid;
        void* expect;
        std::int32_t hr;
    };
    const std::vector<Query> queries = {
        {quor::kIidDataObject, obj->Primary(), p::kSOk},
        {quor::kIidUnknown, obj->Primary(), p::kSOk},
        {quor::kIidDataObjectAsyncCapability, obj->Secondary(), p::kSOk},
        {quor::kIidShellFolder, nullptr, p::kENoInterface},
    };
    for (const Query& q : queries) {
        void* out = reinterpret_cast<void*>(1);
        // Asked through either interface, the answer is the same.
        for (void* via : {obj->Primary(), obj->Secondary()}) {
            EXPECT_EQ(p::QueryUnknown(via, q.iid, &out), q.hr);
            EXPECT_EQ(out, q.expect);
            if (out != nullptr) {
                EXPECT_EQ(p::ReleaseUnknown(out), 1U);
            }
        }
    }
    // An asynchronous extraction keeps the object alive past the clipboard's release.
    EXPECT_EQ(obj->StartOperation(), p::kSOk);
    EXPECT_EQ(obj->StartOperation(), p::kSOk);  // a second start takes nothing more
    std::int32_t in = 0;
    EXPECT_EQ(obj->InOperation(&in), p::kSOk);
    EXPECT_EQ(in, -1);
    EXPECT_EQ(p::ReleaseUnknown(obj->Secondary()), 1U);  // the creator's reference
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(quor::ShareDataObject::Alive(), 1);
    EXPECT_EQ(p::sim::LiveShellDataObjects(), 1);
    EXPECT_EQ(obj->EndOperation(p::kSOk), p::kSOk);
    EXPECT_EQ(released, std::vector<std::string>{"s"});
    EXPECT_EQ(quor::ShareDataObject::Alive(), 0);
    EXPECT_EQ(p::sim::LiveShellDataObjects(), 0);
}

}  // namespace
