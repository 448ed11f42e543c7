// Capture and placement on the platform's clipboard: the simulated one on Linux, the real
// one under Wine. The test acts as another application.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "quorsharemgr/BitmapSendProcess.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/ShareRecvProcess.h"
#include "quorsharemgr/TextHtmlSendProcess.h"
#include "quorsharemgr/platform/Volume.h"
#include "tests/clipboard/support/ClipboardHarness.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "tests/support/TestLog.h"

namespace p = quor::platform;
using namespace quortest;

namespace {

class ClipboardContract : public ::testing::Test {
protected:
    ClipboardContract() { ProcessLogPath(); }

    // The window thread's side: open, capture, close after destroying the object.
    bool Capture(std::unique_ptr<quor::ShareSendProcess> s, Bytes* data, std::uint32_t* format = nullptr,
                 Bytes* extra = nullptr)
    {
        EXPECT_TRUE(p::OpenClipboard(h_.OurWindow()));
        const bool ok = s->Init();
        if (ok) {
            *data = Pull(*s);
            if (format != nullptr) {
                *format = s->GetFormat();
            }
            if (extra != nullptr) {
                extra->assign(s->GetExtraHeader(), s->GetExtraHeader() + s->GetExtraHeaderLen());
            }
        }
        s.reset();
        EXPECT_TRUE(p::CloseClipboard());
        return ok;
    }
    static std::unique_ptr<quor::ShareSendProcess> TextHtml(std::uint32_t bits)
    {
        return std::make_unique<quor::TextHtmlSendProcess>(
            bits, [](const quor::ShareFileMap&) { return std::string("unused"); },
            [](const char*, std::uint32_t) {});
    }
    // The size the platform gave the block of `format`.
    std::size_t BlockSize(std::uint32_t format)
    {
        EXPECT_TRUE(p::OpenClipboard(h_.OurWindow()));
        const std::size_t size = p::GlobalSize(p::GetClipboardData(format));
        EXPECT_TRUE(p::CloseClipboard());
        return size;
    }

    ClipboardHarness h_;
};

}  // namespace

TEST_F(ClipboardContract, TextWithAndWithoutTerminator)
{
    struct Case {
        const char* name;
        Bytes block;
        std::string utf8;  // what is sent, the NUL included
        // Wine's clipboard terminates a CF_UNICODETEXT block itself, over its last unit;
        // either way nothing beyond the block may be read.
        std::string terminatedBySystem = {};
    };
    Bytes afterNul = Utf16(u"ab", true);
    afterNul.insert(afterNul.end(), {'x', 0, 'y', 0});
    const Case cases[] = {
        {"terminated", Utf16(u"h\u00e9llo \U0001F600", true), std::string("h\xC3\xA9llo \xF0\x9F\x98\x80\0", 12), {}},
        {"no terminator", Utf16(u"abcd", false), std::string("abcd\0", 5), std::string("abc\0", 4)},
        {"content after the NUL", afterNul, std::string("ab\0", 3), {}},
    };
    for (const Case& c : cases) {
        AppSets(h_.AppWindow(), {{quor::kCfUnicodeText, c.block}});
        Bytes data;
        std::uint32_t format = 0;
        ASSERT_TRUE(Capture(TextHtml(quor::ClipboardUnicodeText), &data, &format)) << c.name;
        EXPECT_TRUE(Str(data) == c.utf8 || (!c.terminatedBySystem.empty() && Str(data) == c.terminatedBySystem))
            << c.name << ": " << Str(data);
        EXPECT_EQ(format, 4U) << c.name;
    }
}

TEST_F(ClipboardContract, HtmlIsSentFromItsStartOffsetToTheBlockEnd)
{
    const std::string cf = CfHtml("<html><b>x</b></html>");
    AppSets(h_.AppWindow(), {{quor::kCfUnicodeText, Utf16(u"t", true)}, {HtmlFormat(), Narrow(cf + '\0')}});
    Bytes data;
    std::uint32_t format = 0;
    Bytes extra;
    ASSERT_TRUE(Capture(TextHtml(quor::ClipboardUnicodeText | quor::ClipboardHtml), &data, &format, &extra));
    EXPECT_EQ(format, 12U);
    ASSERT_EQ(extra.size(), 16U);
    std::uint64_t sizes[2];
    std::memcpy(sizes, extra.data(), 16);
    EXPECT_EQ(sizes[0], 2U);
    const std::size_t offset = cf.find("<html>");
    EXPECT_EQ(sizes[1], BlockSize(HtmlFormat()) - offset);
    EXPECT_EQ(Str(data).substr(0, 2 + cf.size() + 1 - offset), std::string("t\0", 2) + cf.substr(offset) + '\0');
}

TEST_F(ClipboardContract, BadHtmlHeadersDropTheHtmlButKeepTheText)
{
    struct Case {
        const char* name;
        std::string block;
        const char* line;
    };
    const Case cases[] = {
        {"no StartHTML", "Version:0.9\r\n<html></html>", "Unknown HTML format, expected StartHTML."},
        {"offset at the end", CfHtml("<html>", "0000001000"), "Offset of <html> exceeds HTML data length."},
        {"offset beyond 32 bits", CfHtml("<html>", "4294967401"), "Failed to get absolute offset of <html> with error"},
    };
    for (const Case& c : cases) {
        AppSets(h_.AppWindow(), {{quor::kCfUnicodeText, Utf16(u"t", true)}, {HtmlFormat(), Narrow(c.block)}});
        LogTail tail;
        Bytes data;
        std::uint32_t format = 0;
        ASSERT_TRUE(Capture(TextHtml(12), &data, &format)) << c.name;
        EXPECT_EQ(format, 4U) << c.name;
        EXPECT_EQ(Str(data), std::string("t\0", 2)) << c.name;
        EXPECT_TRUE(tail.Contains(c.line)) << c.name << ": " << tail.Since();
        EXPECT_TRUE(tail.Contains("Failed to get HTML data")) << c.name;
    }
    // HTML only, and its block missing: format 0, no data.
    AppSets(h_.AppWindow(), {{quor::kCfUnicodeText, Utf16(u"t", true)}});
    Bytes data;
    std::uint32_t format = 99;
    ASSERT_TRUE(Capture(TextHtml(quor::ClipboardHtml), &data, &format));
    EXPECT_EQ(format, 0U);
    EXPECT_TRUE(data.empty());
}

TEST_F(ClipboardContract, BitmapIsSentFromTheBlockWithItsFileHeader)
{
    Bytes dib(40 + 1024 + 4 * 2, 0x11);
    std::memset(dib.data(), 0, 40);
    dib[0] = 40;
    dib[4] = 4;
    dib[8] = 2;
    dib[12] = 1;
    dib[14] = 8;
    AppSets(h_.AppWindow(), {{quor::kCfDib, dib}});
    Bytes data;
    Bytes extra;
    std::uint32_t format = 0;
    ASSERT_TRUE(Capture(std::make_unique<quor::BitmapSendProcess>(), &data, &format, &extra));
    EXPECT_EQ(format, 1U);
    ASSERT_EQ(extra.size(), 14U);
    std::uint32_t fileSize = 0;
    std::uint32_t offset = 0;
    std::memcpy(&fileSize, extra.data() + 2, 4);
    std::memcpy(&offset, extra.data() + 10, 4);
    EXPECT_EQ(fileSize, 14 + data.size());
    EXPECT_EQ(offset, 14U + 40 + 1024);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(dib.size())), dib);
}

// What the receive side decodes, placed as the program places it, reads back the same.
TEST_F(ClipboardContract, ReceivedTextAndHtmlPlaceAndReadBack)
{
    quor::ShareRecvProcess r;
    const std::string text = std::string("gr\xC3\xBC\xC3\x9F\0", 7);
    const std::string html = "<i>hi</i>";
    const Bytes header = quor::ShareHeader::BuildTextHtml(12, text.size(), html.size());
    ASSERT_TRUE(r.CheckHeader(header.data()) && r.CheckFormat(header.data()));
    std::memcpy(r.ResizeBuffer(header.size()), header.data(), header.size());
    ASSERT_TRUE(r.CheckExtraHeader());
    const std::string data = text + html;
    std::memcpy(r.ResizeBuffer(data.size() + 1), data.data(), data.size() + 1);
    ASSERT_TRUE(r.Decode());

    const auto& wide = r.Text();
    const Bytes textBlock(reinterpret_cast<const unsigned char*>(wide.data()),
                          reinterpret_cast<const unsigned char*>(wide.data() + wide.size()));
    AppSets(h_.OurWindow(), {{quor::kCfUnicodeText, textBlock}, {HtmlFormat(), r.HtmlBlock()}});
    Bytes sent;
    std::uint32_t format = 0;
    ASSERT_TRUE(Capture(TextHtml(12), &sent, &format));
    EXPECT_EQ(format, 12U);
    const std::string s = Str(sent);
    EXPECT_EQ(s.substr(0, text.size()), text);
    EXPECT_EQ(s.substr(text.size(), 6), "<html>");
    EXPECT_NE(s.find("<!--StartFragment-->" + html + "<!--EndFragment-->"), std::string::npos);
}

TEST_F(ClipboardContract, VolumeInformationOfTheSystemDrive)
{
    std::u16string fileSystem;
    std::u16string label;
    ASSERT_TRUE(p::GetVolumeInformationW(u"C:\\", &label, &fileSystem));
    EXPECT_FALSE(fileSystem.empty());
    EXPECT_NE(fileSystem, u"Velt");
}
