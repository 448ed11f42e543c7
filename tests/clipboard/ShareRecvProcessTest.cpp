#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/ShareRecvProcess.h"
#include "tests/support/TestLog.h"

using quor::ShareHeader;
using quor::ShareRecvProcess;
using Bytes = std::vector<unsigned char>;

namespace {

// Feeds one message through the record the way the transport does: header checks, extra
// header into the buffer, then the data from offset 0 with a zero byte after it.
bool Receive(ShareRecvProcess& r, const Bytes& header, const std::string& data = {})
{
    r.Reset();
    if (!r.CheckHeader(header.data()) || !r.CheckFormat(header.data())) {
        return false;
    }
    std::memcpy(r.ResizeBuffer(header.size()), header.data(), header.size());
    if (!r.CheckExtraHeader()) {
        return false;
    }
    unsigned char* p = r.ResizeBuffer(data.size() + 1);
    std::memcpy(p, data.data(), data.size());
    p[data.size()] = 0;
    return true;
}

std::string HtmlOf(const ShareRecvProcess& r)
{
    const auto& b = r.HtmlBlock();
    return std::string(b.begin(), b.end());
}

std::string FragmentOf(const ShareRecvProcess& r)
{
    const std::string block = HtmlOf(r);
    const auto from = block.find("<!--StartFragment-->") + 20;
    return block.substr(from, block.find("<!--EndFragment-->") - from);
}

// The block's own offsets against where its parts are: EndHTML is the end of the block
// (before its NUL), EndFragment where the fragment's end marker starts.
void ExpectOffsetsMatch(const std::string& block)
{
    const auto field = [&](const char* name) {
        const std::size_t at = block.find(name);
        return at == std::string::npos ? std::string() : block.substr(at + std::strlen(name), 10);
    };
    ASSERT_FALSE(block.empty());
    ASSERT_EQ(block.back(), '\0');
    char expected[16];
    std::snprintf(expected, sizeof expected, "%010zu", block.size() - 1);
    EXPECT_EQ(field("EndHTML:"), expected);
    std::snprintf(expected, sizeof expected, "%010zu", block.find("<!--EndFragment-->"));
    EXPECT_EQ(field("EndFragment:"), expected);
}

}  // namespace

TEST(ShareRecvProcess, EmptyHtmlGivesTheFixedBlock)
{
    quortest::ProcessLogPath();
    ShareRecvProcess r;
    ASSERT_TRUE(Receive(r, ShareHeader::BuildTextHtml(quor::ShareFormatHtml, 0, 1), std::string(1, '\0')));
    ASSERT_TRUE(r.Decode());
    const std::string block = HtmlOf(r);
    ASSERT_EQ(block.size(), 180U);
    EXPECT_EQ(block.substr(0, 105),
              "Version:1.0\r\nStartHTML:0000000105\r\nEndHTML:0000000179\r\nStartFragment:0000000141\r\n"
              "EndFragment:0000000141\r\n");
    EXPECT_EQ(block.substr(105, 36), "<html>\r\n<body>\r\n<!--StartFragment-->");
    EXPECT_EQ(block.substr(141, 38), "<!--EndFragment-->\r\n</body>\r\n</html>\r\n");
    EXPECT_EQ(block[179], '\0');
}

TEST(ShareRecvProcess, HtmlBlockOffsetsPointAtTheFragment)
{
    quortest::ProcessLogPath();
    ShareRecvProcess r;
    const std::string html = "<b>x</b>";
    ASSERT_TRUE(Receive(r, ShareHeader::BuildTextHtml(quor::ShareFormatHtml, 0, html.size()), html));
    ASSERT_TRUE(r.Decode());
    const std::string block = HtmlOf(r);
    ASSERT_EQ(block.size(), html.size() + 180);
    EXPECT_EQ(block.substr(141, html.size()), html);
    EXPECT_NE(block.find("EndFragment:" + std::string(7, '0') + "149\r\n"), std::string::npos);
    EXPECT_EQ(block.substr(html.size() + 179 - 9, 9), "</html>\r\n");
}

TEST(ShareRecvProcess, HtmlWithoutTerminatorStaysInsideItsPart)
{
    quortest::ProcessLogPath();
    ShareRecvProcess r;
    // Text part "hi\0", HTML part of 4 bytes without NUL; the buffer holds more after it.
    const std::string data = std::string("hi\0", 3) + "<p>x";
    ASSERT_TRUE(Receive(r, ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText | quor::ShareFormatHtml, 3, 4), data));
    r.Buffer().resize(r.Buffer().size() + 8, 'Z');
    ASSERT_TRUE(r.Decode());
    EXPECT_EQ(FragmentOf(r), "<p>x");
    EXPECT_EQ(std::u16string(r.Text().data()), u"hi");
}

TEST(ShareRecvProcess, TextDecodes)
{
    quortest::ProcessLogPath();
    struct Case {
        std::string utf8;
        std::u16string expected;  // without the terminators
        bool ok;
        const char* line;
    };
    const Case cases[] = {
        {std::string("h\xC3\xA9\0", 4), u"h\u00e9", true, nullptr},
        {std::string("no terminator"), u"no terminator", true, nullptr},
        {std::string(), u"", false, "Convert unicode text size failed with error: 87"},
    };
    for (const Case& c : cases) {
        ShareRecvProcess r;
        ASSERT_TRUE(Receive(r, ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, c.utf8.size(), 0), c.utf8));
        quortest::LogTail tail;
        EXPECT_EQ(r.Decode(), c.ok) << c.utf8;
        if (c.ok) {
            ASSERT_GE(r.Text().size(), c.expected.size() + 1);
            EXPECT_EQ(std::u16string(r.Text().data()), c.expected);
            EXPECT_EQ(r.Text().back(), u'\0');
        } else {
            EXPECT_TRUE(tail.Contains(c.line)) << tail.Since();
        }
    }
}

TEST(ShareRecvProcess, HtmlShareNamesAreReleasedAndUsedOnce)
{
    quortest::ProcessLogPath();
    std::vector<std::string> released;
    ShareRecvProcess r([&](const char* name) { released.emplace_back(name); });
    const std::string html = "<img src=\"file:///C:/pics/a.png\">";
    const auto htmlMsg = ShareHeader::BuildTextHtml(quor::ShareFormatHtml, 0, html.size());

    ASSERT_TRUE(Receive(r, ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, "A")));
    EXPECT_TRUE(released.empty());
    ASSERT_TRUE(Receive(r, ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, "B")));
    EXPECT_EQ(released, std::vector<std::string>{"A"});
    ASSERT_TRUE(Receive(r, htmlMsg, html));
    ASSERT_TRUE(r.Decode());
    EXPECT_EQ(FragmentOf(r), "<img src=\"file:///\\\\Velt\\B\\a.png\">");
    ExpectOffsetsMatch(HtmlOf(r));  // counted on the rewritten fragment, longer than the one sent
    ASSERT_TRUE(Receive(r, htmlMsg, html));
    ASSERT_TRUE(r.Decode());
    EXPECT_EQ(FragmentOf(r), html);
    ExpectOffsetsMatch(HtmlOf(r));

    // A file list releases the stored HTML share name and keeps its own.
    ASSERT_TRUE(Receive(r, ShareHeader::BuildShareName(quor::ShareFormatFiles, "F", 0)));
    EXPECT_EQ(released, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.FilesShareName(), "F");
    EXPECT_EQ(r.HtmlShareName(), "");
}

// Share names from the host become a folder of \\Velt and are written into HTML: anything
// but one component a Windows share may be called is dropped, in both formats, and a
// dropped message neither replaces nor releases the stored name.
TEST(ShareRecvProcess, HostShareNamesAreOneShareComponent)
{
    quortest::ProcessLogPath();
    struct Case {
        std::string name;
        bool valid;
    };
    const Case cases[] = {
        {"clipboard_1700000000", true},
        {"a b-c_d.e$f~g!h#i&j'k(l)m@n^o`p{q}r", true},
        {"\xE5\x85\xB1\xE6\x9C\x89 \xC3\xA9t\xC3\xA9", true},  // non-ASCII, in UTF-8
        {"x", true},
        {"", false},            // the whole server
        {".", false},
        {"..", false},
        {"a.", false},          // Windows drops a trailing dot: another share
        {"a ", false},
        {"a\\b", false},
        {"a/b", false},
        {"..\\x", false},
        {"C:", false},
        {"a\"b", false},
        {"a<b", false},
        {"a>b", false},
        {"a|b", false},
        {"a?b", false},
        {"a*b", false},
        {"a[b]", false},
        {"a+b", false},
        {"a=b", false},
        {"a;b", false},
        {"a,b", false},
        {"%2e%2e", false},      // a URL consumer would read ".."
        {"a\tb", false},
        {"a\x7F", false},
        {"a\xC2\x85", false},    // a C1 control character
        {"a\xC3", false},        // cut UTF-8
        {"\xC0\xAF", false},      // an overlong '/'
        {"\xED\xA0\x80", false},  // a surrogate
    };
    for (const std::uint32_t format : {std::uint32_t{quor::ShareFormatFiles}, std::uint32_t{quor::ShareFormatHtmlShareName}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("format " + std::to_string(format) + " name '" + c.name + "'");
            std::vector<std::string> released;
            ShareRecvProcess r([&](const char* name) { released.emplace_back(name); });
            ASSERT_TRUE(Receive(r, ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, "kept")));
            quortest::LogTail tail;
            EXPECT_EQ(Receive(r, ShareHeader::BuildShareName(format, c.name, 0)), c.valid);
            if (c.valid) {
                EXPECT_EQ(released, std::vector<std::string>{"kept"});
                EXPECT_EQ(format == quor::ShareFormatFiles ? r.FilesShareName() : r.HtmlShareName(), c.name);
            } else {
                EXPECT_TRUE(tail.Contains("[E][ShareRecvProcess.cpp:") &&
                            tail.Contains("Received invalid virtual share name, format " + std::to_string(format)))
                    << tail.Since();
                EXPECT_TRUE(released.empty());
                EXPECT_EQ(r.HtmlShareName(), "kept");
                EXPECT_TRUE(r.FilesShareName().empty());
            }
        }
    }
}

TEST(ShareRecvProcess, ChecksRunInTheirOrder)
{
    quortest::ProcessLogPath();
    ShareRecvProcess r;
    Bytes bad = ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 3, 0);
    bad[0] ^= 1;
    quortest::LogTail tail;
    EXPECT_FALSE(r.CheckHeader(bad.data()));
    EXPECT_TRUE(tail.Contains("Received incorrect signature")) << tail.Since();
    const Bytes bmp = ShareHeader::Build(quor::ShareFormatBitmap, std::string(14, 'x'), 10);
    EXPECT_TRUE(r.CheckHeader(bmp.data()));
    EXPECT_FALSE(r.CheckFormat(bmp.data()));
    EXPECT_TRUE(tail.Contains("Received incorrect BMP header length 38")) << tail.Since();
    // A share name filling the extra header without its NUL, with a correct checksum.
    Bytes name = ShareHeader::Build(quor::ShareFormatHtmlShareName, "abc", 0);
    EXPECT_FALSE(Receive(r, name));
    EXPECT_TRUE(tail.Contains("Received incorrect Virtual share name data.")) << tail.Since();
    EXPECT_FALSE(r.HtmlSharePending());
}
