// The share manager on the platform's own clipboard and window: the simulated desktop on
// Linux, the real Win32 calls under Wine. The host's end of the clipboard channel comes
// from ShareHost; another application is a thread of the test with its own window.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/ShareCrc32.h"
#include "quorsharemgr/ShareDataObject.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/ShareMgr.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "shared/lib/platform/WinErrors.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "tests/clipboard/support/OtherApp.h"
#include "tests/clipboard/support/ShareHost.h"
#include "tests/support/TestLog.h"
#include "tests/support/WaitUntil.h"

namespace p = quor::platform;
using quortest::Bytes;
using quortest::WaitUntil;

namespace {

struct Message {
    std::uint32_t format = 0;
    Bytes header;  // all headerLen bytes
    Bytes data;
};

Bytes Concat(Bytes head, const std::string& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class ShareMgrContract : public ::testing::Test {
protected:
    void SetUp() override
    {
        mgr_ = std::make_unique<quor::ShareMgr>(host_.Server());
        ASSERT_EQ(mgr_->InitWindow(), 0U);
        ASSERT_EQ(host_.Configure(*mgr_), 0U);
        // The listen thread has drained the channel once it says it listens.
        Message m;
        do {
            ASSERT_TRUE(Receive(m)) << "no ListenStarted";
        } while (m.format != quor::ShareFormatListenStarted);
    }
    void TearDown() override
    {
        mgr_.reset();
        EXPECT_EQ(quor::ShareDataObject::Alive(), 0);
    }

    bool Receive(Message& m, int timeoutMs = 10000)
    {
        m = Message{};
        m.header.resize(quor::ShareHeader::kSize);
        if (!host_.Recv(m.header.data(), m.header.size(), timeoutMs)) {
            return false;
        }
        const quor::ShareHeader h = quor::ShareHeader::Parse(m.header.data());
        EXPECT_EQ(h.signature, quor::ShareHeader::kSignature);
        if (h.headerLen < quor::ShareHeader::kSize || h.headerLen > quor::ShareHeader::kSize + 64 || h.dataLen > (1U << 24)) {
            ADD_FAILURE() << "implausible header: " << h.headerLen << " " << h.dataLen;
            return false;
        }
        m.format = h.format;
        m.header.resize(h.headerLen);
        m.data.resize(static_cast<std::size_t>(h.dataLen));
        return host_.Recv(m.header.data() + quor::ShareHeader::kSize, h.headerLen - quor::ShareHeader::kSize,
                          timeoutMs) &&
               host_.Recv(m.data.data(), m.data.size(), timeoutMs);
    }
    // The next message other than ListenStarted.
    bool Next(Message& m)
    {
        while (Receive(m)) {
            if (m.format != quor::ShareFormatListenStarted) {
                return true;
            }
        }
        return false;
    }
    bool SyncToHost() { return host_.Send(quor::ShareHeader::Build(quor::ShareFormatSyncToHost, {}, 0)); }
    // Every event the window thread had in its queue before this call has been handled
    // once the host hears the name come back.
    void WindowThreadCaughtUp(const std::string& marker)
    {
        ASSERT_TRUE(mgr_->Window().PostDeleteShareName(marker.c_str()));
        Message m;
        ASSERT_TRUE(Next(m));
        EXPECT_EQ(m.format, quor::ShareFormatReleaseShareName);
        EXPECT_EQ(m.header, quor::ShareHeader::BuildShareName(quor::ShareFormatReleaseShareName, marker));
    }
    std::atomic<std::uint32_t>& Changed() { return mgr_->Window().ClipboardChanged(); }

    quortest::ShareHost host_;
    quortest::OtherApp app_;
    std::unique_ptr<quor::ShareMgr> mgr_;
};

TEST_F(ShareMgrContract, GuestTextReachesTheHostByteExact)
{
    app_.Sets({{quor::kCfUnicodeText, quortest::Utf16(u"h\u00e9llo \u4e16\u754c", true)}});
    ASSERT_TRUE(WaitUntil([&] { return Changed().load() == 1; }));
    ASSERT_TRUE(SyncToHost());
    Message m;
    ASSERT_TRUE(Next(m));
    // The UTF-8 text with its terminating NUL, sized in the extra header.
    const std::string utf8("h\xc3\xa9llo \xe4\xb8\x96\xe7\x95\x8c", 14);
    EXPECT_EQ(m.format, quor::ShareFormatUnicodeText);
    EXPECT_EQ(m.header, quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, utf8.size(), 0));
    EXPECT_EQ(m.data, quortest::Narrow(utf8));
    // The checksum as the host checks it: over the whole header with the field zeroed.
    ASSERT_EQ(m.header.size(), 40U);
    Bytes zeroed = m.header;
    std::memset(zeroed.data() + 4, 0, 4);
    EXPECT_EQ(quor::ShareHeader::Parse(m.header.data()).crc, quor::ShareCrc32(zeroed.data(), zeroed.size()));
    // The request took the change.
    EXPECT_EQ(Changed().load(), 0U);
}

// What the host sends is placed on the clipboard, where another application reads it; the
// program's own writes are no clipboard change, so they are never sent back.
TEST_F(ShareMgrContract, HostDataIsPlacedAndOwnWritesAreNoChange)
{
    const std::uint32_t html = quortest::HtmlFormat();
    Bytes dib(40 + 16, 0);
    for (std::size_t i = 0; i < dib.size(); ++i) {
        dib[i] = static_cast<unsigned char>(i * 7);
    }
    struct Case {
        const char* name;
        Bytes message;
        std::uint32_t format;
        std::function<void(const Bytes&)> check;
    };
    const std::vector<Case> cases = {
        {"text", Concat(quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 7, 0), "host \xc3\xa9"),
         quor::kCfUnicodeText,
         [](const Bytes& got) {
             const Bytes want = quortest::Utf16(u"host \u00e9", true);
             ASSERT_GE(got.size(), want.size());
             EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(want.size())), want);
         }},
        {"html",
         Concat(quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText | quor::ShareFormatHtml, 4, 11),
                "bold<b>bold</b>"),
         html,
         [&](const Bytes& got) {
             const std::string block = quortest::Str(got);
             EXPECT_NE(block.find("<b>bold</b>"), std::string::npos) << block;
             EXPECT_NE(block.find("StartHTML:"), std::string::npos) << block;
             const Bytes text = app_.Gets(quor::kCfUnicodeText);
             const Bytes want = quortest::Utf16(u"bold", true);
             ASSERT_GE(text.size(), want.size());
             EXPECT_EQ(Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(want.size())), want);
         }},
        {"dib", Concat(quor::ShareHeader::Build(quor::ShareFormatBitmap, {}, dib.size()), quortest::Str(dib)),
         quor::kCfDib,
         [&](const Bytes& got) {
             ASSERT_GE(got.size(), dib.size());
             EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(dib.size())), dib);
         }},
    };
    int marker = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t seq = p::GetClipboardSequenceNumber();
        ASSERT_TRUE(host_.Send(c.message));
        Bytes got;
        ASSERT_TRUE(WaitUntil([&] {
            return p::GetClipboardSequenceNumber() != seq && !(got = app_.Gets(c.format)).empty();
        }));
        c.check(got);
        WindowThreadCaughtUp("marker_" + std::to_string(marker++));
        EXPECT_EQ(Changed().load(), 0U);
    }
    // A change of another application after them still counts.
    app_.Sets({{quor::kCfUnicodeText, quortest::Utf16(u"guest", true)}});
    ASSERT_TRUE(WaitUntil([&] { return Changed().load() == 1; }));
    ASSERT_TRUE(SyncToHost());
    Message m;
    ASSERT_TRUE(Next(m));
    EXPECT_EQ(m.data, quortest::Narrow(std::string("guest", 6)));
}

TEST_F(ShareMgrContract, DeinitEndsTheListenThreadWithoutTermination)
{
    quortest::LogTail log;
    mgr_->Deinit();
    EXPECT_FALSE(mgr_->IsConfigured());
    EXPECT_FALSE(mgr_->Window().IsInitialised());
    EXPECT_FALSE(log.Contains("Terminate Thread")) << log.Since();
    EXPECT_TRUE(log.Contains("ShareListenProc thread ended")) << log.Since();
}

// The clipboard port alone is not enough: the file-share server starts in the same step,
// and without its device the configuration fails after its retries and starts nothing.
TEST(ShareMgrConfiguration, FailsWithoutTheFileShareDevice)
{
    quortest::ShareHost host(false);
    quor::ShareMgr mgr(host.Server());
    ASSERT_EQ(mgr.InitWindow(), 0U);
    quortest::LogTail log;
    EXPECT_EQ(host.Configure(mgr), p::kErrorConnectionInvalid);
    EXPECT_FALSE(mgr.IsConfigured());
    EXPECT_EQ(mgr.ListenThreadsStarted(), 0U);
    EXPECT_TRUE(log.Contains("Failed to init ShareTransport")) << log.Since();
}

}  // namespace
