// Capture from the simulated clipboard of what needs the simulated machine: image and file
// lists with their files and volumes, size limits, the clipboard's own rules.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorsharemgr/BitmapSendProcess.h"
#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/DropFiles.h"
#include "quorsharemgr/FilesSendProcess.h"
#include "quorsharemgr/TextHtmlSendProcess.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "tests/support/SimMachineFixture.h"

namespace p = quor::platform;
using Bytes = std::vector<unsigned char>;

namespace {

p::WindowHandle AppWindow() { return reinterpret_cast<p::WindowHandle>(0x5150); }
p::WindowHandle OurWindow() { return reinterpret_cast<p::WindowHandle>(0x7770); }

void AppSets(const std::vector<std::pair<std::uint32_t, Bytes>>& formats) { quortest::AppSets(AppWindow(), formats); }
using quortest::CfHtml;
using quortest::DropList;
using quortest::HtmlFormat;
using quortest::Narrow;
using quortest::Pull;
using quortest::Str;
using quortest::Utf16;

class ClipboardCapture : public quortest::SimMachineTest {
protected:
    // The window thread's side: open, capture with the object, close after destroying it.
    template <class Make>
    bool Capture(Make make, Bytes* data = nullptr, std::uint32_t* format = nullptr, Bytes* extra = nullptr)
    {
        EXPECT_TRUE(p::OpenClipboard(OurWindow()));
        bool ok = false;
        {
            std::unique_ptr<quor::ShareSendProcess> s = make();
            ok = s->Init();
            if (ok) {
                if (data != nullptr) {
                    *data = Pull(*s);
                }
                if (format != nullptr) {
                    *format = s->GetFormat();
                }
                if (extra != nullptr) {
                    extra->assign(s->GetExtraHeader(), s->GetExtraHeader() + s->GetExtraHeaderLen());
                }
            }
        }
        EXPECT_TRUE(p::CloseClipboard());
        return ok;
    }
    std::unique_ptr<quor::ShareSendProcess> TextHtml(std::uint32_t bits)
    {
        return std::make_unique<quor::TextHtmlSendProcess>(
            bits,
            [this](const quor::ShareFileMap& files) {
                images_ = files;
                if (throwOnShare_) {
                    throw std::uint32_t{322};
                }
                return std::string("clipboard_42");
            },
            [this](const char* name, std::uint32_t format) { shareMessages_.emplace_back(name, format); });
    }
    std::unique_ptr<quor::ShareSendProcess> Files()
    {
        return std::make_unique<quor::FilesSendProcess>([this](const quor::ShareFileMap& files) {
            images_ = files;
            if (throwOnShare_) {
                throw std::uint32_t{183};
            }
            return std::string("clipboard_7");
        });
    }
    void MakeFile(const std::string& relative, std::size_t size)
    {
        const auto path = sim_.Path() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    }

    quor::ShareFileMap images_;
    std::vector<std::pair<std::string, std::uint32_t>> shareMessages_;
    bool throwOnShare_ = false;
};

}  // namespace

TEST_F(ClipboardCapture, TextSizeLimits)
{
    struct Case {
        std::size_t units;
        bool ok;
        const char* line;
    };
    // 6,990,506 three-byte characters and one of two bytes: 20,971,520 UTF-8 bytes.
    const std::u16string atLimit = std::u16string(6990506, u'\u4e00') + u"\u00e9";
    const Case cases[] = {
        {0, true, nullptr},
        {1, false, "[W]"},
    };
    for (const Case& c : cases) {
        AppSets({{quor::kCfUnicodeText, Utf16(atLimit + std::u16string(c.units, u'a'), true)}});
        quortest::LogTail tail;
        Bytes data;
        EXPECT_EQ(Capture([&] { return TextHtml(quor::ClipboardUnicodeText); }, &data), c.ok) << c.units;
        if (c.ok) {
            EXPECT_EQ(data.size(), 20971521U);
        } else {
            EXPECT_TRUE(tail.Contains("Utf-8 text size: 20971522, exceeds the maximum size 20971521")) << tail.Since();
            EXPECT_TRUE(tail.Contains(c.line));
        }
    }
}

TEST_F(ClipboardCapture, LocalImagesAreExported)
{
    MakeFile("drives/C/pics/a.png", 10);
    MakeFile("drives/C/other/a.png", 10);
    MakeFile("drives/C/pics/b c.png", 10);
    std::string html = "<html><img src=\"file:///C:/pics/a.png\"><img src='file:///C:/other/a.png'>"
                       "<img src=\"file:///C:/pics/b%20c.png\"><img src=\"file:///C:/pics/b c.png\">"
                       "<img src=\"file:///C:/missing.png\"></html>";
    AppSets({{HtmlFormat(), Narrow(CfHtml(html))}});
    Bytes data;
    ASSERT_TRUE(Capture([&] { return TextHtml(quor::ClipboardHtml); }, &data));
    EXPECT_EQ(images_, (quor::ShareFileMap{{"a.png", "C:/pics/a.png"}, {"b c.png", "C:/pics/b c.png"}}));
    ASSERT_EQ(shareMessages_.size(), 1U);
    EXPECT_EQ(shareMessages_[0], std::make_pair(std::string("clipboard_42"), std::uint32_t{64}));
    EXPECT_NE(Str(data).find("file:///C:/other/a.png"), std::string::npos);  // the HTML goes unchanged
}

TEST_F(ClipboardCapture, AtMostOneHundredImages)
{
    std::string html = "<html>";
    for (int i = 0; i < 101; ++i) {
        MakeFile("drives/C/p/i" + std::to_string(i) + ".png", 1);
        html += "<img src=\"file:///C:/p/i" + std::to_string(i) + ".png\">";
    }
    AppSets({{HtmlFormat(), Narrow(CfHtml(html))}});
    ASSERT_TRUE(Capture([&] { return TextHtml(quor::ClipboardHtml); }));
    EXPECT_EQ(images_.size(), 100U);
    EXPECT_EQ(images_.count("i100.png"), 0U);
}

// An image path in HTML is looked up only when it is a local drive path: a network path
// from a web page would make the guest connect to that server (with the user's credentials)
// while the clipboard is open. Every file below exists, so whatever is looked up is exported.
TEST_F(ClipboardCapture, OnlyLocalDrivePathsOfImagesAreLookedUp)
{
    MakeFile("drives/C/pics/a.png", 1);
    MakeFile("unc/attacker/s/a.png", 1);
    MakeFile("unc/attacker/s/pics/a.png", 1);
    MakeFile("drives/C/cur/pics/a.png", 1);
    MakeFile("pics/a.png", 1);
    struct Case {
        const char* src;
        bool lookedUp;
    };
    const Case cases[] = {
        {"C:/pics/a.png", true},
        {"c:\\pics\\a.png", true},
        {"\\\\attacker\\s\\a.png", false},
        {"//attacker/s/a.png", false},
        {"\\/attacker/s/a.png", false},
        {"/\\attacker\\s\\a.png", false},
        {"\\\\?\\UNC\\attacker\\s\\a.png", false},
        {"\\\\?\\C:\\pics\\a.png", false},
        {"\\\\.\\C:\\pics\\a.png", false},
        {"\\\\.\\pipe\\a.png", false},
        {"COM1", false},
        {"pics\\a.png", false},   // relative
        {"C:pics\\a.png", false},  // relative to the drive's current folder
        {"\\pics\\a.png", false},  // rooted on the current drive
        {"%5C%5Cattacker%5Cs%5Ca.png", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src);
        images_.clear();
        sim_.Faults().Arm("CrtFiles._wstat64", {0, 1000000, 0, false});  // counts the lookups only
        AppSets({{HtmlFormat(), Narrow(CfHtml(std::string("<img src=\"file:///") + c.src + "\">"))}});
        quortest::LogTail tail;
        ASSERT_TRUE(Capture([&] { return TextHtml(quor::ClipboardHtml); }));
        EXPECT_EQ(sim_.Faults().Hits("CrtFiles._wstat64"), c.lookedUp ? 1 : 0);
        EXPECT_EQ(images_.size(), c.lookedUp ? 1U : 0U);
        EXPECT_EQ(tail.Contains("Skipped 1 HTML image paths that are not local drive paths"), !c.lookedUp)
            << tail.Since();
    }
}

// One HTML is looked at for at most 1000 image sources, and a page full of missing images
// logs ten of them and a count, not two lines each.
TEST_F(ClipboardCapture, ImageSourcesAndTheirLogLinesAreBounded)
{
    MakeFile("drives/C/p/late.png", 1);
    std::string html;
    for (int i = 0; i < 5000; ++i) {
        html += "<img src=\"file:///C:/p/missing" + std::to_string(i) + ".png\">";
    }
    html += "<img src=\"file:///C:/p/late.png\">";
    sim_.Faults().Arm("CrtFiles._wstat64", {0, 1000000, 0, false});
    AppSets({{HtmlFormat(), Narrow(CfHtml(html))}});
    quortest::LogTail tail;
    ASSERT_TRUE(Capture([&] { return TextHtml(quor::ClipboardHtml); }));
    EXPECT_EQ(sim_.Faults().Hits("CrtFiles._wstat64"), 1000);
    EXPECT_TRUE(images_.empty());
    const std::string log = tail.Since();
    std::size_t lines = 0;
    for (std::size_t at = log.find("Failed to get file size"); at != std::string::npos;
         at = log.find("Failed to get file size", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, quor::TextHtmlSendProcess::kLoggedImageFailures);
    EXPECT_TRUE(tail.Contains("990 more HTML images could not be exported")) << log.substr(0, 2000);
    EXPECT_TRUE(tail.Contains("Stopped looking for HTML images after 1000 image sources"));
}

TEST_F(ClipboardCapture, AFailedShareDropsTheHtmlOnly)
{
    MakeFile("drives/C/p/a.png", 1);
    throwOnShare_ = true;
    AppSets({{quor::kCfUnicodeText, Utf16(u"t", true)},
             {HtmlFormat(), Narrow(CfHtml("<img src=\"file:///C:/p/a.png\">"))}});
    quortest::LogTail tail;
    std::uint32_t format = 0;
    ASSERT_TRUE(Capture([&] { return TextHtml(12); }, nullptr, &format));
    EXPECT_EQ(format, 4U);
    EXPECT_TRUE(tail.Contains("Failed to Get HTML Files.")) << tail.Since();
    EXPECT_TRUE(shareMessages_.empty());
}

TEST_F(ClipboardCapture, DropFilesBoundsAreChecked)
{
    struct Case {
        const char* name;
        Bytes block;
        const char* line;
    };
    Bytes beyond = DropList({u"C:\\a.txt"});
    beyond[0] = static_cast<unsigned char>(beyond.size() + 8);  // past the rounded block too
    Bytes inside = DropList({u"C:\\a.txt"});
    inside[0] = 4;
    Bytes unterminated = DropList({u"C:\\a.txt"});
    unterminated.resize(unterminated.size() - 4);  // the block keeps a multiple of 8 bytes
    unterminated.push_back('a');
    unterminated.push_back(0);
    const Case cases[] = {
        {"smaller than DROPFILES", Bytes(12, 0), "Get files clipboard data error."},
        {"pFiles beyond the block", beyond, "Get files clipboard data error."},
        {"pFiles inside the header", inside, "Get files clipboard data error."},
        {"last unit not 0", unterminated, "Get files clipboard data error."},
        {"ANSI list", DropList({u"C:\\a.txt"}, 0), "ANSI file lists are not supported."},
    };
    for (const Case& c : cases) {
        AppSets({{quor::kCfHdrop, c.block}});
        quortest::LogTail tail;
        EXPECT_FALSE(Capture([&] { return Files(); })) << c.name;
        EXPECT_TRUE(tail.Contains(c.line)) << c.name << ": " << tail.Since();
        EXPECT_TRUE(images_.empty()) << c.name;
    }
}

TEST_F(ClipboardCapture, FileListsAreRegisteredAndNamed)
{
    MakeFile("drives/C/d1/same.txt", 1);
    MakeFile("drives/C/d2/same.txt", 1);
    std::filesystem::create_directories(sim_.Path() / "drives/E");
    AppSets({{quor::kCfHdrop, DropList({u"C:\\d1\\same.txt", u"C:\\d2\\same.txt", u"E:\\", u"C:\\d1\\", u"x"})}});
    Bytes data;
    Bytes extra;
    quortest::LogTail tail;
    ASSERT_TRUE(Capture([&] { return Files(); }, &data, nullptr, &extra)) << tail.Since();
    EXPECT_EQ(Str(extra), std::string("clipboard_7\0", 12));
    EXPECT_EQ(Str(data), std::string("same.txt\0same.txt\0[E] Volume\0", 29));
    EXPECT_EQ(images_, (quor::ShareFileMap{{"same.txt", "C:\\d1\\same.txt"}, {"[E] Volume", "E:\\"}}));
}

TEST_F(ClipboardCapture, FileListsThatMustNotBeSent)
{
    MakeFile("drives/C/a.txt", 1);
    MakeFile("drives/V/b.txt", 1);
    std::ofstream(sim_.Path() / "drives/V.fs") << "Velt\n";
    struct Case {
        const char* name;
        std::vector<std::u16string> paths;
        const char* line;  // nullptr: nothing logged
    };
    const Case cases[] = {
        {"a host file among local ones", {u"C:\\a.txt", u"\\\\VELT\\Clipboard_1\\x.txt"}, nullptr},
        {"first path in a shared folder", {u"V:\\b.txt"}, "Files in shared folders are not supported"},
        {"share refused", {u"C:\\a.txt"}, "Create virtual share name failed with error: 183"},
    };
    for (const Case& c : cases) {
        throwOnShare_ = std::string(c.name) == "share refused";
        AppSets({{quor::kCfHdrop, DropList(c.paths)}});
        quortest::LogTail tail;
        EXPECT_FALSE(Capture([&] { return Files(); })) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(tail.Contains(c.line)) << c.name << ": " << tail.Since();
        }
    }
    // A shared-folder path that is not the first is not tested; a missing first path is
    // logged and still exported.
    throwOnShare_ = false;
    AppSets({{quor::kCfHdrop, DropList({u"C:\\gone.txt", u"V:\\b.txt"})}});
    quortest::LogTail tail;
    ASSERT_TRUE(Capture([&] { return Files(); }));
    EXPECT_TRUE(tail.Contains("Can't find the specified path: C:\\gone.txt")) << tail.Since();
    EXPECT_EQ(images_.size(), 2U);
}

TEST(ClipboardFormatBits, SenderPerFormatSet)
{
    using quor::SenderKind;
    struct Case {
        std::uint32_t bits;
        SenderKind kind;
    };
    const Case cases[] = {
        {0, SenderKind::None},      {1, SenderKind::Bitmap},    {2, SenderKind::Files},
        {3, SenderKind::None},      {4, SenderKind::TextHtml},  {5, SenderKind::TextHtml},
        {6, SenderKind::TextHtml},  {8, SenderKind::TextHtml},  {15, SenderKind::TextHtml},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quor::SelectSender(c.bits), c.kind) << c.bits;
    }
}

// Windows' rules of the simulated clipboard.
TEST_F(ClipboardCapture, OneOpenerAtATimeAndListenersAreTold)
{
    std::mutex m;
    std::condition_variable cv;
    std::vector<quor::platform::sim::SimEvent> seen;
    const int token = sim_.Machine().Events().Subscribe([&](const quor::platform::sim::SimEvent& e) {
        if (e.kind == quor::platform::sim::SimEvent::Kind::ClipboardUpdate) {
            std::lock_guard<std::mutex> g(m);
            seen.push_back(e);
            cv.notify_all();
        }
    });
    ASSERT_TRUE(p::AddClipboardFormatListener(OurWindow()));
    const std::uint32_t before = p::GetClipboardSequenceNumber();
    ASSERT_TRUE(p::OpenClipboard(AppWindow()));
    std::thread other([] { EXPECT_FALSE(p::OpenClipboard(OurWindow())); });
    other.join();
    EXPECT_EQ(p::GetClipboardData(quor::kCfUnicodeText), nullptr);
    ASSERT_TRUE(p::EmptyClipboard());
    ASSERT_TRUE(p::CloseClipboard());
    EXPECT_NE(p::GetClipboardSequenceNumber(), before);
    {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(30), [&] { return !seen.empty(); }));
        EXPECT_EQ(seen[0].handle, reinterpret_cast<std::intptr_t>(OurWindow()));
    }
    EXPECT_FALSE(p::GetClipboardData(quor::kCfUnicodeText));  // not open: refused
    const std::uint32_t html = HtmlFormat();  // registered first, under its own spelling
    EXPECT_EQ(p::RegisterClipboardFormatW(u"html format"), html);
    EXPECT_GE(HtmlFormat(), 0xC000U);
    EXPECT_EQ(p::GetClipboardFormatNameW(HtmlFormat()), u"HTML Format");
    ASSERT_TRUE(p::RemoveClipboardFormatListener(OurWindow()));
    sim_.Machine().Events().Unsubscribe(token);
}
