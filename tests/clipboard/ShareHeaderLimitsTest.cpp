// The receive checks at their limits: each size limit at the limit and one past it, with
// the log level the check gives; formats with stray bits; the order of the checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "quorsharemgr/ShareCrc32.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "tests/support/TestLog.h"

using quor::ShareHeader;
using Bytes = std::vector<unsigned char>;

namespace {

void Put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

void Recrc(Bytes& b)
{
    Put32(b, 4, 0);
    Put32(b, 4, quor::ShareCrc32(b.data(), b.size()));
}

bool Check(const Bytes& b)
{
    const ShareHeader h = ShareHeader::Parse(b.data());
    return h.CheckFixed() && ShareHeader::CheckExtra(b.data(), h.headerLen);
}

// The one line a failed check logged, or "" when nothing was logged.
std::string OnlyLine(const std::string& logged)
{
    EXPECT_LE(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
    return logged;
}

}  // namespace

TEST(ShareHeaderLimits, EachLimitAtItsValueAndOnePast)
{
    quortest::ProcessLogPath();
    constexpr std::uint64_t kPart = ShareHeader::kMaxTextOrHtmlPart;
    struct Case {
        const char* name;
        std::function<Bytes()> make;
        const char* level;  // nullptr: accepted
        const char* line;
    };
    const std::vector<Case> cases = {
        {"text and html at 41943042", [] { return ShareHeader::BuildTextHtml(12, kPart, kPart); }, nullptr, ""},
        {"text and html at 41943043",
         [] {
             Bytes b = ShareHeader::BuildTextHtml(12, kPart, kPart);
             b[16] += 1;  // dataLen one more than the parts: caught by the size limit first
             Recrc(b);
             return b;
         },
         "[W]", "Received utf-8 text and HTML size 41943043 exceeds the maximum size 41943042"},
        {"plain part at 20971521", [] { return ShareHeader::BuildTextHtml(4, kPart, 0); }, nullptr, ""},
        {"plain part at 20971522", [] { return ShareHeader::BuildTextHtml(4, kPart + 1, 0); }, "[W]",
         "Received incorrect extra header, plain text size 20971522, HTML size 0, all data size 20971522"},
        {"html part at 20971521", [] { return ShareHeader::BuildTextHtml(8, 0, kPart); }, nullptr, ""},
        {"html part at 20971522", [] { return ShareHeader::BuildTextHtml(8, 0, kPart + 1); }, "[W]",
         "Received incorrect extra header, plain text size 0, HTML size 20971522, all data size 20971522"},
        {"bitmap at 134217728", [] { return ShareHeader::Build(quor::ShareFormatBitmap, {}, 134217728); }, nullptr, ""},
        {"bitmap at 134217729", [] { return ShareHeader::Build(quor::ShareFormatBitmap, {}, 134217729); }, "[W]",
         "Received BMP size 134217729 exceeds the maximum size 134217728"},
        {"files at 20971520", [] { return ShareHeader::BuildShareName(quor::ShareFormatFiles, "s", 20971520); }, nullptr,
         ""},
        {"files at 20971521", [] { return ShareHeader::BuildShareName(quor::ShareFormatFiles, "s", 20971521); }, "[W]",
         "Received file size 20971521 exceeds the maximum size 20971520"},
        // headerLen 64 is the largest accepted: a share name of 39 bytes and its NUL.
        {"header length 64", [] { return ShareHeader::BuildShareName(quor::ShareFormatFiles, std::string(39, 'n'), 0); },
         nullptr, ""},
        {"header length 65", [] { return ShareHeader::BuildShareName(quor::ShareFormatFiles, std::string(40, 'n'), 0); },
         "[E]", "Received incorrect header length 65"},
        {"html share name of 39 bytes",
         [] { return ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, std::string(39, 'h')); }, nullptr, ""},
    };
    for (const Case& c : cases) {
        quortest::LogTail tail;
        const bool ok = Check(c.make());
        const std::string logged = OnlyLine(tail.Since());
        if (c.level == nullptr) {
            EXPECT_TRUE(ok) << c.name << ": " << logged;
            EXPECT_EQ(logged, "") << c.name;
            continue;
        }
        EXPECT_FALSE(ok) << c.name;
        EXPECT_NE(logged.find(std::string(c.level) + "["), std::string::npos) << c.name << ": " << logged;
        EXPECT_NE(logged.find(c.line), std::string::npos) << c.name << ": " << logged;
    }
}

TEST(ShareHeaderLimits, FormatsWithStrayBitsAreUnsupported)
{
    quortest::ProcessLogPath();
    // Not of the text/HTML family (a bit other than 4 and 8) and not a format of its own.
    for (const std::uint32_t format : {3U, 5U, 9U, 13U, 0x11U, 0x8CU, 0x84U, 0x100U, 0x80000004U}) {
        quortest::LogTail tail;
        const Bytes b = ShareHeader::Build(format, {}, 0);
        EXPECT_FALSE(Check(b)) << format;
        const std::string logged = OnlyLine(tail.Since());
        EXPECT_NE(logged.find("[E]["), std::string::npos) << logged;
        EXPECT_NE(logged.find("Unsupported clipboard format " + std::to_string(format)), std::string::npos) << logged;
    }
}

TEST(ShareHeaderLimits, TheChecksumIsCheckedBeforeTheShareNameTerminator)
{
    quortest::ProcessLogPath();
    for (const std::uint32_t format : {static_cast<std::uint32_t>(quor::ShareFormatFiles),
                                       static_cast<std::uint32_t>(quor::ShareFormatHtmlShareName)}) {
        // A name without its NUL and a checksum that does not match: only the checksum is told.
        Bytes b = ShareHeader::Build(format, "abc", 0);
        b[4] ^= 0x01;
        quortest::LogTail tail;
        EXPECT_FALSE(Check(b));
        const std::string logged = OnlyLine(tail.Since());
        EXPECT_NE(logged.find("Check clipboard header crc error."), std::string::npos) << logged;
        EXPECT_EQ(logged.find("Virtual share name"), std::string::npos) << logged;
    }
}
