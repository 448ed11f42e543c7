#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quorsharemgr/ShareCrc32.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "tests/support/TestLog.h"

using quor::ShareCrc32;
using quor::ShareHeader;
using Bytes = std::vector<unsigned char>;

namespace {

void Put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
}
void Put64(Bytes& b, std::size_t at, std::uint64_t v)
{
    Put32(b, at, static_cast<std::uint32_t>(v));
    Put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
void Recrc(Bytes& b)
{
    Put32(b, 4, 0);
    Put32(b, 4, ShareCrc32(b.data(), b.size()));
}

// Runs the receive checks in their order; true when the message passes all of them.
bool Check(const Bytes& b)
{
    const ShareHeader h = ShareHeader::Parse(b.data());
    if (!h.CheckFixed()) {
        return false;
    }
    return ShareHeader::CheckExtra(b.data(), h.headerLen);
}

}  // namespace

TEST(ShareCrc32, CheckValues)
{
    EXPECT_EQ(ShareCrc32("123456789", 9), 0xA71C05DFU);
    const Bytes listen = ShareHeader::Build(quor::ShareFormatListenStarted, {}, 0);
    ASSERT_EQ(listen.size(), 24U);
    EXPECT_EQ(ShareHeader::Parse(listen.data()).crc, 0xDB491BBEU);
    const unsigned char wire[4] = {0xCE, 0x8A, 0xB9, 0xFD};
    EXPECT_EQ(std::memcmp(listen.data(), wire, 4), 0);
    EXPECT_EQ(ShareCrc32("", 0), 0xFFFFFFFFU);
}

TEST(ShareHeader, AnyHeaderByteChangeFailsTheChecksum)
{
    quortest::ProcessLogPath();
    const Bytes msg = ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 6, 0);
    const std::uint32_t crc = ShareHeader::Parse(msg.data()).crc;
    for (std::size_t i = 24; i < msg.size(); ++i) {
        Bytes changed = msg;
        changed[i] ^= 0x01;
        EXPECT_FALSE(ShareHeader::CheckExtra(changed.data(), 40)) << "byte " << i;
    }
    EXPECT_TRUE(ShareHeader::CheckExtra(msg.data(), 40));
    EXPECT_EQ(ShareHeader::Parse(msg.data()).crc, crc);
}

TEST(ShareHeader, ReceiveChecksFailExactlyTheirStep)
{
    quortest::ProcessLogPath();
    struct Case {
        const char* name;
        std::function<Bytes()> make;
        const char* line;  // expected log text, nullptr when the message is valid
    };
    const auto text = [] { return ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText | quor::ShareFormatHtml, 10, 20); };
    const std::vector<Case> cases = {
        {"valid text+html", text, nullptr},
        {"valid format 0 empty", [] { return ShareHeader::BuildTextHtml(0, 0, 0); }, nullptr},
        {"valid bitmap", [] { return ShareHeader::Build(quor::ShareFormatBitmap, {}, 1000); }, nullptr},
        {"valid files", [] { return ShareHeader::BuildShareName(quor::ShareFormatFiles, "share1", 100); }, nullptr},
        {"valid html share", [] { return ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, "s"); }, nullptr},
        {"valid sync", [] { return ShareHeader::Build(quor::ShareFormatSyncToHost, {}, 0); }, nullptr},
        {"signature", [&] { Bytes b = text(); b[0] ^= 1; return b; }, "Received incorrect signature 4256795343"},
        {"header length 65", [] { return ShareHeader::Build(quor::ShareFormatFiles, std::string(41, 'a'), 0); },
         "Received incorrect header length 65"},
        {"header length 23", [&] { Bytes b = text(); Put32(b, 8, 23); return b; }, "Received incorrect header length 23"},
        {"text header not 40", [] { return ShareHeader::Build(quor::ShareFormatUnicodeText, std::string(8, '\0'), 0); },
         "Received incorrect plain text and HTML header length 32"},
        {"text too big", [&] { Bytes b = text(); Put64(b, 16, 41943043); Recrc(b); return b; },
         "Received utf-8 text and HTML size 41943043 exceeds the maximum size 41943042"},
        {"bitmap with file header", [] { return ShareHeader::Build(quor::ShareFormatBitmap, std::string(14, 'B'), 10); },
         "Received incorrect BMP header length 38"},
        {"bitmap too big", [] { return ShareHeader::Build(quor::ShareFormatBitmap, {}, 134217729); },
         "Received BMP size 134217729 exceeds the maximum size 134217728"},
        {"files without name", [] { return ShareHeader::Build(quor::ShareFormatFiles, {}, 0); },
         "Received incorrect files virtual share name, format 2"},
        {"html share without name", [] { return ShareHeader::Build(quor::ShareFormatHtmlShareName, {}, 0); },
         "Received incorrect files virtual share name, format 64"},
        {"files too big", [] { return ShareHeader::BuildShareName(quor::ShareFormatFiles, "n", 20971521); },
         "Received file size 20971521 exceeds the maximum size 20971520"},
        {"html share with data", [] { return ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, "n", 1); },
         "Received incorrect HTML virtual share name dataLen 1"},
        {"sync with data", [] { return ShareHeader::Build(quor::ShareFormatSyncToHost, {}, 1); },
         "Received incorrect sync clipboard data to host message."},
        {"sync with extra", [] { return ShareHeader::Build(quor::ShareFormatSyncToHost, "x", 0); },
         "Received incorrect sync clipboard data to host message."},
        {"listen started from host", [] { return ShareHeader::Build(quor::ShareFormatListenStarted, {}, 0); },
         "Unsupported clipboard format 16"},
        {"release from host", [] { return ShareHeader::BuildShareName(quor::ShareFormatReleaseShareName, "s"); },
         "Unsupported clipboard format 32"},
        {"crc", [&] { Bytes b = text(); b[4] ^= 0x80; return b; }, "Check clipboard header crc error."},
        {"share name not terminated",
         [] { Bytes b = ShareHeader::Build(quor::ShareFormatFiles, "abc", 0); Recrc(b); return b; },
         "Received incorrect Virtual share name data."},
        {"plain part too big", [&] { Bytes b = text(); Put64(b, 24, 20971522); Put64(b, 16, 20971522 + 20); Recrc(b); return b; },
         "Received incorrect extra header, plain text size 20971522, HTML size 20, all data size 20971542"},
        {"parts do not add up", [&] { Bytes b = text(); Put64(b, 16, 31); Recrc(b); return b; },
         "Received incorrect extra header, plain text size 10, HTML size 20, all data size 31"},
    };
    for (const Case& c : cases) {
        quortest::LogTail tail;
        const Bytes msg = c.make();
        const bool ok = Check(msg);
        if (c.line == nullptr) {
            EXPECT_TRUE(ok) << c.name << ": " << tail.Since();
            EXPECT_EQ(tail.Since(), "") << c.name;
        } else {
            EXPECT_FALSE(ok) << c.name;
            const std::string logged = tail.Since();
            EXPECT_NE(logged.find(c.line), std::string::npos) << c.name << " logged: " << logged;
            // Exactly one check fired.
            EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << c.name << " logged: " << logged;
        }
    }
}

TEST(ShareHeader, WriterReaderRoundTripPerFormat)
{
    struct Case {
        std::uint32_t format;
        Bytes header;
        std::uint32_t headerLen;
    };
    const std::vector<Case> cases = {
        {quor::ShareFormatBitmap, ShareHeader::Build(quor::ShareFormatBitmap, std::string(14, 'B'), 99), 38},
        {quor::ShareFormatFiles, ShareHeader::BuildShareName(quor::ShareFormatFiles, "1712345678", 12), 35},
        {quor::ShareFormatUnicodeText, ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 5, 0), 40},
        {quor::ShareFormatHtml, ShareHeader::BuildTextHtml(quor::ShareFormatHtml, 0, 7), 40},
        {12, ShareHeader::BuildTextHtml(12, 5, 7), 40},
        {quor::ShareFormatListenStarted, ShareHeader::Build(quor::ShareFormatListenStarted, {}, 0), 24},
        {quor::ShareFormatReleaseShareName, ShareHeader::BuildShareName(quor::ShareFormatReleaseShareName, "abc"), 28},
        {quor::ShareFormatHtmlShareName, ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, "abc"), 28},
        {quor::ShareFormatSyncToHost, ShareHeader::Build(quor::ShareFormatSyncToHost, {}, 0), 24},
    };
    for (const Case& c : cases) {
        const ShareHeader h = ShareHeader::Parse(c.header.data());
        EXPECT_EQ(h.signature, ShareHeader::kSignature);
        EXPECT_EQ(h.format, c.format);
        EXPECT_EQ(h.headerLen, c.headerLen);
        EXPECT_EQ(c.header.size(), c.headerLen);
        Bytes zeroed = c.header;
        Put32(zeroed, 4, 0);
        EXPECT_EQ(h.crc, ShareCrc32(zeroed.data(), zeroed.size())) << c.format;
        Bytes stored(24);
        h.Store(stored.data());
        EXPECT_TRUE(std::equal(stored.begin(), stored.end(), c.header.begin())) << c.format;
    }
    const Bytes text = ShareHeader::BuildTextHtml(12, 5, 7);
    EXPECT_EQ(ShareHeader::Parse(text.data()).dataLen, 12U);
}
