// Other applications on the simulated desktop: the real quorguest program acting on this
// test process's simulated clipboard through the desktop's control socket, and what the
// capture classes then see; malformed requests on the socket.
#include <gtest/gtest.h>

#include <chrono>
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
#include "quorsharemgr/FilesSendProcess.h"
#include "quorsharemgr/TextHtmlSendProcess.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/posix/DesktopProtocol.h"
#include "shared/lib/platform/LastError.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "tests/support/GuestProcess.h"
#include "tests/support/SimMachineFixture.h"
#include "tools/DesktopClient.h"

namespace p = quor::platform;
namespace sim = quor::platform::sim;
using quortest::Bytes;
using quortest::Str;

namespace {

p::WindowHandle OurWindow() { return reinterpret_cast<p::WindowHandle>(0x7770); }

class DesktopControl : public quortest::SimMachineTest {
protected:
    DesktopControl()
    {
        // The first clipboard call of the machine starts the desktop's socket.
        before_ = p::GetClipboardSequenceNumber();
    }
    int Run(const std::vector<std::string>& args, std::string* output = nullptr)
    {
        quortest::GuestProcess g(sim_.Str(), args);
        const int rc = g.Wait();
        if (output != nullptr) {
            *output = g.Output();
        }
        return rc;
    }
    template <class Process>
    bool Capture(Process& s, Bytes* data, Bytes* extra = nullptr)
    {
        EXPECT_TRUE(p::OpenClipboard(OurWindow()));
        const bool ok = s.Init();
        if (ok) {
            *data = quortest::Pull(s);
            if (extra != nullptr) {
                extra->assign(s.GetExtraHeader(), s.GetExtraHeader() + s.GetExtraHeaderLen());
            }
        }
        return ok;
    }
    std::uint32_t before_ = 0;
};

std::string Utf16Le(const std::u16string& s)
{
    const Bytes b = quortest::Utf16(s, true);
    return Str(b);
}

// Waits until the program's window can open the clipboard again.
bool WaitOpenable()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (p::OpenClipboard(OurWindow())) {
            return p::CloseClipboard();
        }
        std::this_thread::yield();
    }
    return false;
}

}  // namespace

TEST_F(DesktopControl, TextAndHtmlSetByAnotherApplicationAreCaptured)
{
    std::mutex m;
    std::condition_variable cv;
    int updates = 0;
    const int token = sim_.Machine().Events().Subscribe([&](const sim::SimEvent& e) {
        if (e.kind == sim::SimEvent::Kind::ClipboardUpdate) {
            std::lock_guard<std::mutex> g(m);
            ++updates;
            cv.notify_all();
        }
    });
    ASSERT_TRUE(p::AddClipboardFormatListener(OurWindow()));
    struct Case {
        std::vector<std::string> args;
        std::uint32_t bits;
        std::string text;  // what the capture sends of the text, NUL included
        std::string fragment;
    };
    const Case cases[] = {
        {{"clip", "set-text", "h\xC3\xA9llo \xF0\x9F\x98\x80"}, quor::ClipboardUnicodeText,
         std::string("h\xC3\xA9llo \xF0\x9F\x98\x80\0", 12), ""},
        {{"clip", "set-text", ""}, quor::ClipboardUnicodeText, std::string("\0", 1), ""},
        {{"clip", "set-text", "t", "set-html", "<b>x</b>"}, 12, std::string("t\0", 2), "<b>x</b>"},
    };
    int seen = 0;
    for (const Case& c : cases) {
        std::string out;
        ASSERT_EQ(Run(c.args, &out), 0) << out;
        {
            std::unique_lock<std::mutex> g(m);
            ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(30), [&] { return updates > seen; }));
            seen = updates;
        }
        Bytes data;
        std::uint64_t htmlSize = 0;
        {
            quor::TextHtmlSendProcess s(
                c.bits, [](const quor::ShareFileMap&) { return std::string("x"); }, [](const char*, std::uint32_t) {});
            ASSERT_TRUE(Capture(s, &data)) << c.args[2];
            htmlSize = s.HtmlSize();
        }
        EXPECT_TRUE(p::CloseClipboard());
        const std::string all = Str(data);
        EXPECT_EQ(all.substr(0, c.text.size()), c.text) << c.args[2];
        if (!c.fragment.empty()) {
            const std::string block = sim::CfHtmlOf(c.fragment);
            const std::size_t start = block.find("<html>");
            EXPECT_EQ(htmlSize, (block.size() + 7) / 8 * 8 - start);
            EXPECT_EQ(all.substr(c.text.size(), block.size() - start), block.substr(start));
            EXPECT_NE(block.find("StartFragment:" + std::string(7, '0') + std::to_string(block.find("<b>"))),
                      std::string::npos);
        } else {
            EXPECT_EQ(all.size(), c.text.size());
        }
    }
    EXPECT_NE(p::GetClipboardSequenceNumber(), before_);
    ASSERT_TRUE(p::RemoveClipboardFormatListener(OurWindow()));
    sim_.Machine().Events().Unsubscribe(token);
}

TEST_F(DesktopControl, DibAndFilesSetByAnotherApplicationAreCaptured)
{
    // A 2 x 2 8-bpp DIB with a 4-entry colour table, given as a .bmp file.
    std::string dib(40 + 16 + 8, '\x22');
    std::memset(dib.data(), 0, 40);
    dib[0] = 40;
    dib[4] = 2;
    dib[8] = 2;
    dib[12] = 1;
    dib[14] = 8;
    dib[32] = 4;
    const auto bmp = sim_.Path() / "pic.bmp";
    std::ofstream(bmp, std::ios::binary) << std::string("BM") + std::string(12, '\0') + dib;
    ASSERT_EQ(Run({"clip", "set-dib", bmp.string()}), 0);
    Bytes data;
    Bytes extra;
    {
        quor::BitmapSendProcess s;
        ASSERT_TRUE(Capture(s, &data, &extra));
    }
    EXPECT_TRUE(p::CloseClipboard());
    EXPECT_EQ(Str(data).substr(0, dib.size()), dib);
    std::uint32_t offset = 0;
    std::memcpy(&offset, extra.data() + 10, 4);
    EXPECT_EQ(offset, 14U + 40 + 16);
    for (const char* f : {"a.txt", "b c.txt"}) {
        std::ofstream(sim_.Path() / "drives/C" / f) << "x";
    }
    ASSERT_EQ(Run({"clip", "set-files", "C:\\a.txt", "C:\\b c.txt"}), 0);
    quor::ShareFileMap exported;
    {
        quor::FilesSendProcess s([&](const quor::ShareFileMap& files) {
            exported = files;
            return std::string("clipboard_1");
        });
        ASSERT_TRUE(Capture(s, &data));
    }
    EXPECT_TRUE(p::CloseClipboard());
    EXPECT_EQ(Str(data), std::string("a.txt\0b c.txt\0", 14));
    EXPECT_EQ(exported, (quor::ShareFileMap{{"a.txt", "C:\\a.txt"}, {"b c.txt", "C:\\b c.txt"}}));
}

TEST_F(DesktopControl, GetShowsEveryFormatWithItsBlock)
{
    const std::uint32_t custom = p::RegisterClipboardFormatW(u"My Format");
    const std::string drop = sim::DropFilesOf({u"C:\\x y.txt"});
    quortest::AppSets(reinterpret_cast<p::WindowHandle>(0x5150),
                      {{quor::kCfUnicodeText, quortest::Utf16(u"abc", false)},
                       {custom, Bytes{1, 2, 3}},
                       {quor::kCfHdrop, Bytes(drop.begin(), drop.end())}});
    std::string out;
    ASSERT_EQ(Run({"clip", "get"}, &out), 0) << out;
    // Blocks are whole: the text's 6 bytes come with their 0xCD slack (U+CDCD).
    EXPECT_NE(out.find("13 CF_UNICODETEXT 8\ntext: abc\xEC\xB7\x8D\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(custom) + " My Format 8\nhex:\n01 02 03 cd cd cd cd cd"), std::string::npos)
        << out;
    EXPECT_NE(out.find("15 CF_HDROP 48\nfiles (wide):\n  C:\\x y.txt\n"), std::string::npos) << out;

    // The same through the socket: numbers, names and the exact blocks.
    quorguest::DesktopClient app;
    ASSERT_TRUE(app.Connect());
    std::vector<sim::FormatContent> formats;
    std::string answer;
    ASSERT_TRUE(app.Get(formats, answer)) << answer;
    ASSERT_EQ(formats.size(), 3U);
    EXPECT_EQ(formats[0].number, quor::kCfUnicodeText);
    EXPECT_EQ(formats[0].bytes, std::string("a\0b\0c\0\xCD\xCD", 8));
    EXPECT_EQ(formats[1].name, "My Format");
    EXPECT_EQ(formats[2].name, "CF_HDROP");
}

TEST_F(DesktopControl, HoldKeepsOtherWindowsOut)
{
    quortest::GuestProcess holder(sim_.Str(), {"clip", "hold", "60000"});
    std::string line;
    ASSERT_TRUE(holder.Line(line));
    ASSERT_EQ(line, "held");
    EXPECT_FALSE(p::OpenClipboard(OurWindow()));
    EXPECT_EQ(p::LastError(), 5U);
    std::string out;
    EXPECT_EQ(Run({"clip", "set-text", "x"}, &out), 1);  // another application: refused too
    EXPECT_NE(out.find("error 5 "), std::string::npos) << out;
    // An application that ends lets the clipboard go.
    holder.Terminate();
    holder.Wait();
    EXPECT_TRUE(WaitOpenable());

    ASSERT_EQ(Run({"clip", "hold", "0"}, &out), 0);
    EXPECT_EQ(out, "held\nreleased\n");
    // The program's own window holding the clipboard keeps applications out.
    ASSERT_TRUE(p::OpenClipboard(OurWindow()));
    EXPECT_EQ(Run({"clip", "get"}, &out), 1);
    EXPECT_TRUE(p::CloseClipboard());
}

TEST_F(DesktopControl, MalformedRequestsGetAnErrorAndChangeNothing)
{
    struct Case {
        const char* name;
        std::string body;
    };
    const Case cases[] = {
        {"unknown command", "frob"},
        {"empty command line", "\nset"},
        {"size past the frame", "set\ntext 5\nab"},
        {"size not a number", "set\ntext x\nab"},
        {"size missing", "set\ntext\n"},
        {"no newline after the item line", "set\ntext 2"},
        {"unknown kind", "set\nbogus 1\na"},
        {"format 0", "set\nformat:0 1\na"},
        {"format above 65535", "set\nformat:65536 1\na"},
        {"empty format name", "set\nname: 1\na"},
        {"bytes after the last item", "set\ntext 2\nabzz"},
        {"empty path", "set\nfiles 0\n"},
        {"empty path among others", "set\nfiles 4\na\n\nb"},
        {"hold without a number", "hold "},
        {"hold not a number", "hold 1x"},
        {"hold too long", "hold 60001"},
        {"get with a payload", "get\nx"},
    };
    quorguest::DesktopClient app;
    ASSERT_TRUE(app.Connect());
    std::string answer;
    ASSERT_TRUE(app.Set({{"text", "keep"}}, answer)) << answer;
    const std::uint32_t sequence = p::GetClipboardSequenceNumber();
    for (const Case& c : cases) {
        ASSERT_TRUE(app.Request(c.body, answer)) << c.name;
        EXPECT_EQ(answer.rfind("error 87 ", 0), 0U) << c.name << ": " << answer;
    }
    EXPECT_EQ(p::GetClipboardSequenceNumber(), sequence);
    std::vector<sim::FormatContent> formats;
    ASSERT_TRUE(app.Get(formats, answer));  // the connection still works
    ASSERT_EQ(formats.size(), 1U);
    EXPECT_EQ(formats[0].bytes.substr(0, 10), Utf16Le(u"keep"));

    // Frames that cannot be read: an answer, then the connection is closed.
    const std::string badFrames[] = {std::string(4, '\0'), std::string("\x01\x00\x00\x04", 4)};
    for (const std::string& frame : badFrames) {
        quorguest::DesktopClient bad;
        ASSERT_TRUE(bad.Connect());
        ASSERT_TRUE(bad.SendRaw(frame));
        ASSERT_TRUE(bad.NextAnswer(answer));
        EXPECT_EQ(answer, "error 87 bad frame length");
        EXPECT_FALSE(bad.NextAnswer(answer));
    }
    // A connection cut in the middle of a frame is dropped; the desktop goes on.
    {
        quorguest::DesktopClient cut;
        ASSERT_TRUE(cut.Connect());
        ASSERT_TRUE(cut.SendRaw(std::string("\x10\x00\x00\x00set\n", 8)));
    }
    ASSERT_TRUE(app.Get(formats, answer));
}

TEST_F(DesktopControl, EightApplicationsAtATime)
{
    std::vector<std::unique_ptr<quorguest::DesktopClient>> apps;
    std::string answer;
    for (int i = 0; i < sim::kMaxDesktopConnections; ++i) {
        apps.push_back(std::make_unique<quorguest::DesktopClient>());
        ASSERT_TRUE(apps.back()->Connect());
        ASSERT_TRUE(apps.back()->Request("hold 0", answer));  // served: the connection is counted
        ASSERT_EQ(answer, "ok held");
        ASSERT_TRUE(apps.back()->NextAnswer(answer));
    }
    quorguest::DesktopClient ninth;
    ASSERT_TRUE(ninth.Connect());
    ASSERT_TRUE(ninth.NextAnswer(answer));
    EXPECT_EQ(answer, "error 1450 too many applications");
    // One goes away: its place is free again.
    apps.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool served = false;
    while (!served && std::chrono::steady_clock::now() < deadline) {
        quorguest::DesktopClient next;
        ASSERT_TRUE(next.Connect());
        served = next.Request("get", answer) && answer.rfind("ok", 0) == 0;
    }
    EXPECT_TRUE(served);
}

TEST(DesktopProtocol, CfHtmlOffsetsPointAtTheirMarks)
{
    struct Case {
        std::string fragment;
    };
    const Case cases[] = {{""}, {"<b>x</b>"}, {std::string(2000, 'y')}};
    for (const Case& c : cases) {
        const std::string block = sim::CfHtmlOf(c.fragment);
        auto number = [&](const std::string& key) {
            const auto at = block.find(key + ":");
            return std::stoul(block.substr(at + key.size() + 1, 10));
        };
        EXPECT_EQ(block.substr(number("StartHTML"), 6), "<html>");
        EXPECT_EQ(number("EndHTML"), block.size());
        EXPECT_EQ(block.substr(number("StartFragment"), c.fragment.size()), c.fragment);
        EXPECT_EQ(block.substr(number("EndFragment"), 18), "<!--EndFragment-->");
    }
}
