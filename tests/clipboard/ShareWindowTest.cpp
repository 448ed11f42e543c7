// The hidden clipboard window on the platform's own desktop: the simulated one on Linux,
// the real window, clipboard listener and registered messages under Wine. Another
// application is a thread of the test with its own window and message loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <system_error>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quorsharemgr/ClipboardShareWindow.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/Thread.h"
#include "quorsharemgr/platform/Window.h"
#include "shared/lib/platform/WinErrors.h"
#include "tests/clipboard/support/ClipboardHarness.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "tests/clipboard/support/OtherApp.h"
#include "tests/support/TestLog.h"
#include "tests/support/WaitUntil.h"

namespace p = quor::platform;
using quortest::WaitUntil;

namespace {

class ShareWindowContract : public ::testing::Test {
protected:
    void SetUp() override
    {
        quortest::ProcessLogPath();
        ASSERT_EQ(window_.Init(), 0U);
    }
    void TearDown() override { window_.Destroy(); }

    std::vector<std::pair<std::string, std::uint32_t>> Sent()
    {
        std::lock_guard<std::mutex> g(m_);
        return sent_;
    }

    quortest::ClipboardHarness machine_;  // the simulated machine on Linux
    quortest::OtherApp app_;
    std::mutex m_;
    std::vector<std::pair<std::string, std::uint32_t>> sent_;
    std::thread::id sentOn_;
    std::atomic<int> syncs_{0};
    std::atomic<bool> syncOnOtherThread_{false};
    const std::thread::id testThread_ = std::this_thread::get_id();
    std::function<void()> onSync_;  // runs on the window thread before the count
    quor::ClipboardShareWindow window_{[this] {
                                           syncOnOtherThread_.store(std::this_thread::get_id() != testThread_);
                                           if (onSync_) {
                                               onSync_();
                                           }
                                           ++syncs_;
                                       },
                                       [](std::uintptr_t, std::intptr_t) {},
                                       [](const quor::ShareFileMap&) { return std::string("unused"); },
                                       [this](const char* name, std::uint32_t format) {
                                           std::lock_guard<std::mutex> g(m_);
                                           sentOn_ = std::this_thread::get_id();
                                           sent_.emplace_back(name, format);
                                       }};
};

TEST_F(ShareWindowContract, RegisteredMessagesAndPostedNamesReachTheWindowThread)
{
    ASSERT_NE(window_.Hwnd(), nullptr);
    ASSERT_NE(window_.ThreadHandle(), nullptr);
    // Registered under their names: another program registering the same name gets the same
    // message, and the three differ.
    struct Registered {
        const char16_t* name;
        std::uint32_t message;
    };
    const std::vector<Registered> messages = {
        {u"SyncClipboardDataToHost", quor::SyncClipboardDataToHostMessage()},
        {u"ClipboardPutFiles", quor::ClipboardPutFilesMessage()},
        {u"DeleteShareName", quor::DeleteShareNameMessage()},
    };
    for (const Registered& r : messages) {
        EXPECT_NE(r.message, 0U);
        EXPECT_EQ(p::RegisterWindowMessageW(r.name), r.message);
    }
    EXPECT_NE(messages[0].message, messages[1].message);
    EXPECT_NE(messages[1].message, messages[2].message);
    EXPECT_NE(messages[0].message, messages[2].message);

    EXPECT_FALSE(window_.PostDeleteShareName(nullptr));
    EXPECT_FALSE(window_.PostClipboardPutFiles(nullptr));
    ASSERT_TRUE(window_.PostDeleteShareName("gone_1"));
    ASSERT_TRUE(p::PostMessageW(window_.Hwnd(), quor::SyncClipboardDataToHostMessage(), 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return syncs_.load() == 1; }));
    EXPECT_TRUE(syncOnOtherThread_.load());
    // Posted messages are handled in order: the name was handled before the sync request.
    EXPECT_EQ(Sent(), (std::vector<std::pair<std::string, std::uint32_t>>{{"gone_1", quor::ShareFormatReleaseShareName}}));
    EXPECT_NE(sentOn_, testThread_);

    const p::WindowHandle hwnd = window_.Hwnd();
    EXPECT_EQ(window_.Init(), p::kErrorAlreadyInitialized);
    EXPECT_EQ(window_.Hwnd(), hwnd);
}

TEST_F(ShareWindowContract, DestroyEndsTheThreadAndAWindowCanBeMadeAgain)
{
    quortest::LogTail log;
    window_.Destroy();
    EXPECT_FALSE(window_.IsInitialised());
    EXPECT_EQ(window_.Hwnd(), nullptr);
    EXPECT_FALSE(log.Contains("Terminate Thread")) << log.Since();
    ASSERT_EQ(window_.Init(), 0U);  // the class registered by the first Init is used again
    ASSERT_TRUE(window_.PostDeleteShareName("again"));
    ASSERT_TRUE(WaitUntil([&] { return !Sent().empty(); }));
}

// The end of the session (logoff, shutdown) reaches a windowless program as WM_ENDSESSION to
// its top-level windows: the window goes and its thread ends, which the entry point takes as
// the end of the run. A session that does not end changes nothing.
TEST_F(ShareWindowContract, TheEndOfTheSessionEndsTheWindowThread)
{
    const std::uint32_t kWmEndSession = 0x0016;
    quortest::LogTail log;
    (void)p::SendMessageW(window_.Hwnd(), kWmEndSession, 0, 0);
    ASSERT_TRUE(window_.PostDeleteShareName("still running"));
    ASSERT_TRUE(WaitUntil([&] { return !Sent().empty(); }));
    (void)p::SendMessageW(window_.Hwnd(), kWmEndSession, 1, 0);
    EXPECT_TRUE(WaitUntil([&] { return p::WaitForSingleObject(window_.ThreadHandle(), 0) == p::kWaitObject0; }));
    window_.Destroy();
    EXPECT_FALSE(log.Contains("Terminate Thread")) << log.Since();
    EXPECT_TRUE(log.Contains("The session is ending")) << log.Since();
}

// Another application's copies raise the flag and nothing more: the host asks for the
// clipboard when it wants it.
TEST_F(ShareWindowContract, ChangesOfAnotherApplicationRaiseTheFlag)
{
    EXPECT_EQ(window_.ClipboardChanged().load(), 0U);
    for (int i = 0; i < 3; ++i) {
        app_.Sets({{quor::kCfUnicodeText, quortest::Utf16(u"copy " + std::u16string(1, u'0' + i), true)}});
        ASSERT_TRUE(WaitUntil([&] { return window_.ClipboardChanged().load() == 1; }));
        window_.ClipboardChanged().store(0);
    }
    EXPECT_EQ(syncs_.load(), 0);
    EXPECT_TRUE(Sent().empty());
}

// Another application holds the clipboard open: the window retries with doubling pauses
// and gets it once the application closes it, or gives up after its attempts. The pauses
// are counted, not slept; the application closes the clipboard from inside a pause.
TEST_F(ShareWindowContract, OpenClipboardWithRetryAgainstAnotherApplication)
{
    struct Case {
        const char* name;
        bool hold;
        std::size_t releaseAfter;  // pauses before the application closes; 0: never
        bool ok;
        std::vector<std::uint32_t> sleeps;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"free", false, 0, true, {}, nullptr},
        {"released after one pause", true, 1, true, {1}, "2 times tried to open clipboard"},
        {"released after three pauses", true, 3, true, {1, 2, 4}, "4 times tried to open clipboard"},
        {"released after nine pauses", true, 9, true, {1, 2, 4, 8, 16, 32, 64, 128, 256},
         "10 times tried to open clipboard"},
        {"never released", true, 0, false, {1, 2, 4, 8, 16, 32, 64, 128, 256, 512},
         "Failed to open clipboard with error: 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.hold) {
            ASSERT_TRUE(app_.HoldOpen());
        }
        std::vector<std::uint32_t> sleeps;
        window_.SetSleepForTest([&](std::uint32_t ms) {
            sleeps.push_back(ms);
            if (c.hold && sleeps.size() == c.releaseAfter) {
                EXPECT_TRUE(app_.Release());
            }
        });
        quortest::LogTail log;
        EXPECT_EQ(window_.OpenClipboardWithRetry(), c.ok);
        EXPECT_EQ(sleeps, c.sleeps);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.Contains(c.log)) << log.Since();
        } else {
            EXPECT_EQ(log.Since(), "");
        }
        if (c.ok) {
            EXPECT_TRUE(window_.CloseClipboard());
        } else {
            EXPECT_TRUE(app_.Release());
        }
    }
    // Closing a clipboard that is not open counts as success.
    quortest::LogTail log;
    EXPECT_TRUE(window_.CloseClipboard());
    EXPECT_EQ(log.Since(), "");
}

// A handler that fails unexpectedly loses its message and nothing more: the exception is
// logged, a clipboard it left open is closed, and the thread goes on with the next message.
TEST_F(ShareWindowContract, ExceptionsOfAHandlerLeaveTheThreadRunning)
{
    struct Case {
        const char* name;
        std::function<void()> fail;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"lock", [] { throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur)); },
         "failed with an exception: "},
        {"memory", [] { throw std::bad_alloc(); }, "failed with an exception: "},
        {"other", [] { throw 322U; }, "failed with an unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        onSync_ = [&] {
            ASSERT_TRUE(window_.OpenClipboardWithRetry());
            c.fail();
        };
        quortest::LogTail log;
        sent_.clear();
        ASSERT_TRUE(p::PostMessageW(window_.Hwnd(), quor::SyncClipboardDataToHostMessage(), 0, 0));
        ASSERT_TRUE(window_.PostDeleteShareName(c.name));
        ASSERT_TRUE(WaitUntil([&] { return !Sent().empty(); }));
        EXPECT_EQ(Sent().front().first, c.name);
        EXPECT_EQ(syncs_.load(), 0);
        EXPECT_TRUE(log.Contains(c.log)) << log.Since();
        ASSERT_TRUE(app_.HoldOpen()) << "the handler's clipboard was left open";
        EXPECT_TRUE(app_.Release());
    }
    onSync_ = nullptr;
}

// Once Destroy has cleared the window, nothing is done on behalf of a window that is gone:
// no clipboard opened for no window (emptying it would wipe the user's data), no message
// posted to the caller's own queue — also when the window goes during the open's pauses.
TEST_F(ShareWindowContract, NothingIsDoneForAWindowThatIsGone)
{
    app_.Sets({{quor::kCfUnicodeText, quortest::Utf16(u"user data", true)}});
    ASSERT_TRUE(app_.HoldOpen());
    std::vector<std::uint32_t> sleeps;
    window_.SetSleepForTest([&](std::uint32_t ms) {
        sleeps.push_back(ms);
        window_.Destroy();
        EXPECT_TRUE(app_.Release());
    });
    quortest::LogTail log;
    EXPECT_FALSE(window_.OpenClipboardWithRetry());
    EXPECT_EQ(sleeps.size(), 1U);
    EXPECT_FALSE(window_.PostDeleteShareName("late"));
    EXPECT_FALSE(window_.PostClipboardPutFiles("late"));
    EXPECT_FALSE(window_.OpenClipboardWithRetry());
    EXPECT_TRUE(log.Contains("Clipboard window is gone")) << log.Since();
    const quortest::Bytes want = quortest::Utf16(u"user data", true);
    const quortest::Bytes got = app_.Gets(quor::kCfUnicodeText);
    EXPECT_TRUE(got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin()));
    EXPECT_TRUE(app_.HoldOpen()) << "the clipboard was left open";
    EXPECT_TRUE(app_.Release());
}

}  // namespace
