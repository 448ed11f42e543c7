// The clipboard sharing of the guest end to end on the simulated machine: the share
// manager with its window, transport and listen thread against the host's clipboard agent
// on the port socket, the guest clipboard driven as another application would.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/DeviceBroadcast.h"
#include "quorsharemgr/ShareCrc32.h"
#include "quorsharemgr/ShareDataObject.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/ShareMgr.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/Window.h"
#include "quorsharemgr/platform/posix/SimCom.h"
#include "quorsharemgr/platform/posix/SimThreads.h"
#include "quorsharemgr/platform/posix/SimWindows.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimSerialPort.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/SimMachineFixture.h"
#include "tools/ClipAgent.h"
#include "tools/HostPort.h"
#include "tools/VirtioFsBackend.h"

namespace p = quor::platform;
using Bytes = std::vector<unsigned char>;

namespace {

p::WindowHandle App() { return reinterpret_cast<p::WindowHandle>(0x5150); }

using quortest::WaitUntil;

Bytes AppGets(std::uint32_t format)
{
    Bytes out;
    if (!p::OpenClipboard(App())) {
        return out;
    }
    if (p::MemHandle h = p::GetClipboardData(format); h != nullptr) {
        const auto* m = static_cast<const unsigned char*>(p::GlobalLock(h));
        out.assign(m, m + p::GlobalSize(h));
        (void)p::GlobalUnlock(h);
    }
    (void)p::CloseClipboard();
    return out;
}

void AppSetsText(const std::u16string& text)
{
    quortest::AppSets(App(), {{quor::kCfUnicodeText, quortest::Utf16(text, true)}});
}

int OpenDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

class ShareMgrSim : public quortest::SimMachineTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(backend_.Start());
        mgr_ = std::make_unique<quor::ShareMgr>();
        mgr_->Transport().SetTimingsForTest(50, 10);
        ASSERT_EQ(mgr_->InitWindow(), 0U);
        ASSERT_EQ(mgr_->InitConfiguration(), 0U);
        Connect();
    }
    void TearDown() override
    {
        mgr_.reset();
        host_.Close();
        backend_.Stop();
        EXPECT_EQ(quor::ShareDataObject::Alive(), 0);
    }
    void Connect()
    {
        const std::uint32_t before = mgr_->ListenThreadsStarted();
        ASSERT_TRUE(host_.Connect(3));
        agent_ = std::make_unique<quorhost::ClipAgent>(host_);
        ASSERT_TRUE(WaitUntil([&] { return mgr_->ListenThreadsStarted() > before; }));
        ASSERT_TRUE(agent_->WaitListenStarted());
    }
    // An application copies; the window has seen it once the flag is up.
    void GuestCopies(const std::u16string& text)
    {
        AppSetsText(text);
        ASSERT_TRUE(WaitUntil([&] { return mgr_->Window().ClipboardChanged().load() == 1; }));
    }
    // The next guest text, without its terminating NUL.
    std::string NextText()
    {
        quorhost::GuestClip clip;
        EXPECT_TRUE(agent_->Next(clip));
        std::string t = clip.text;
        if (!t.empty() && t.back() == '\0') {
            t.pop_back();
        }
        return t;
    }

    quorhost::VirtioFsBackend backend_;
    std::unique_ptr<quor::ShareMgr> mgr_;
    quorhost::HostPort host_;
    std::unique_ptr<quorhost::ClipAgent> agent_;
};

TEST_F(ShareMgrSim, GuestTextReachesTheHostByteExact)
{
    GuestCopies(u"h\u00e9llo \u4e16\u754c");
    ASSERT_TRUE(agent_->SyncToHost());
    quorhost::GuestClip clip;
    ASSERT_TRUE(agent_->Next(clip));
    EXPECT_EQ(clip.format, quor::ShareFormatUnicodeText);
    // The UTF-8 text travels with its terminating NUL.
    EXPECT_EQ(clip.text, std::string("h\xc3\xa9llo \xe4\xb8\x96\xe7\x95\x8c", 14));
    EXPECT_TRUE(clip.html.empty());
    // Header on the wire: 40 bytes, sizes in the extra header, checksum over it with crc 0.
    Bytes h = clip.raw.header;
    ASSERT_EQ(h.size(), 40U);
    const quor::ShareHeader fixed = quor::ShareHeader::Parse(h.data());
    EXPECT_EQ(fixed.signature, quor::ShareHeader::kSignature);
    EXPECT_EQ(fixed.dataLen, clip.raw.data.size());
    std::memset(h.data() + 4, 0, 4);
    EXPECT_EQ(fixed.crc, quor::ShareCrc32(h.data(), h.size()));
    EXPECT_EQ(mgr_->Window().ClipboardChanged().load(), 0U);
}

TEST_F(ShareMgrSim, GuestBitmapGoesWithItsFileHeader)
{
    Bytes dib(40 + 4 * 4, 0);
    const std::uint32_t hdr = 40, w = 2, hgt = 2, planesBits = 1 | (32U << 16);
    std::memcpy(dib.data(), &hdr, 4);
    std::memcpy(dib.data() + 4, &w, 4);
    std::memcpy(dib.data() + 8, &hgt, 4);
    std::memcpy(dib.data() + 12, &planesBits, 4);
    for (std::size_t i = 40; i < dib.size(); ++i) {
        dib[i] = static_cast<unsigned char>(i);
    }
    quortest::AppSets(App(), {{quor::kCfDib, dib}});
    ASSERT_TRUE(WaitUntil([&] { return mgr_->Window().ClipboardChanged().load() == 1; }));
    ASSERT_TRUE(agent_->SyncToHost());
    quorhost::GuestClip clip;
    ASSERT_TRUE(agent_->Next(clip));
    EXPECT_EQ(clip.format, quor::ShareFormatBitmap);
    ASSERT_EQ(clip.dib.size(), 14 + dib.size());
    EXPECT_EQ(clip.dib[0], 'B');
    EXPECT_EQ(clip.dib[1], 'M');
    EXPECT_TRUE(std::equal(dib.begin(), dib.end(), clip.dib.begin() + 14));
}

// One change, two requests: one transfer. The second request is answered by silence, so
// the next message the host sees is the next change.
TEST_F(ShareMgrSim, SyncRuleOneTransferPerChange)
{
    GuestCopies(u"first");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "first");
    ASSERT_TRUE(agent_->SyncToHost());
    ASSERT_TRUE(agent_->SyncToHost());
    // The listen thread takes the host's messages in order: once the host's text is placed,
    // both requests have been handled, and a later copy cannot be taken by one of them.
    const std::uint32_t seq = p::GetClipboardSequenceNumber();
    ASSERT_TRUE(agent_->SendText("host"));
    ASSERT_TRUE(WaitUntil([&] { return p::GetClipboardSequenceNumber() != seq && !AppGets(quor::kCfUnicodeText).empty(); }));
    GuestCopies(u"second");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "second");
}

// A clipboard update whose sequence number was already sent: the request is answered with
// the warning and nothing on the wire, so the next message is the next real change.
TEST_F(ShareMgrSim, SameSequenceNumberIsWarnedAndNotSent)
{
    GuestCopies(u"first");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "first");
    const std::uint32_t seq = p::GetClipboardSequenceNumber();
    quortest::LogTail log;
    ASSERT_TRUE(p::PostMessageW(mgr_->Window().Hwnd(), p::kWmClipboardUpdate, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return mgr_->Window().ClipboardChanged().load() == 1; }));
    ASSERT_TRUE(agent_->SyncToHost());
    const std::string warning = "Same Clipboard sequence number: " + std::to_string(seq);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains(warning); })) << log.Since();
    GuestCopies(u"second");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "second");
}

// What the host places is the program's own write: it never counts as a guest change, so
// a request right after it is not answered with the host's own text.
TEST_F(ShareMgrSim, HostDataIsPlacedAndOwnWritesAreNoChange)
{
    struct Case {
        const char* name;
        std::function<bool(quorhost::ClipAgent&)> send;
        std::uint32_t format;
        Bytes expect;
    };
    Bytes dib(56, 0x11);
    const std::vector<Case> cases = {
        {"text", [](quorhost::ClipAgent& a) { return a.SendText("host \xc3\xa9"); }, quor::kCfUnicodeText,
         quortest::Utf16(u"host \u00e9", true)},
        {"dib", [dib](quorhost::ClipAgent& a) { return a.SendDib(dib); }, quor::kCfDib, dib},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t seq = p::GetClipboardSequenceNumber();
        ASSERT_TRUE(c.send(*agent_));
        ASSERT_TRUE(WaitUntil([&] { return p::GetClipboardSequenceNumber() != seq && !AppGets(c.format).empty(); }));
        Bytes got = AppGets(c.format);
        ASSERT_GE(got.size(), c.expect.size());
        got.resize(c.expect.size());  // blocks are rounded up by the simulated memory
        EXPECT_EQ(got, c.expect);
        ASSERT_TRUE(agent_->SyncToHost());
    }
    // The listen thread takes the host's messages in order: once this text is placed, every
    // request above has been handled, and none can clear the flag of the copy below.
    const std::uint32_t seq = p::GetClipboardSequenceNumber();
    ASSERT_TRUE(agent_->SendText("marker"));
    ASSERT_TRUE(WaitUntil([&] { return p::GetClipboardSequenceNumber() != seq && !AppGets(quor::kCfUnicodeText).empty(); }));
    GuestCopies(u"guest");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "guest");
}

TEST_F(ShareMgrSim, HostHtmlIsPlacedAsHtmlFormat)
{
    const std::uint32_t seq = p::GetClipboardSequenceNumber();
    ASSERT_TRUE(agent_->SendHtml("<b>bold</b>", "bold"));
    const std::uint32_t html = quortest::HtmlFormat();
    ASSERT_TRUE(WaitUntil([&] { return p::GetClipboardSequenceNumber() != seq && !AppGets(html).empty(); }));
    const std::string block = quortest::Str(AppGets(html));
    EXPECT_NE(block.find("<b>bold</b>"), std::string::npos);
    EXPECT_NE(block.find("StartHTML:"), std::string::npos);
    const Bytes text = AppGets(quor::kCfUnicodeText);
    ASSERT_GE(text.size(), 10U);
    EXPECT_EQ(Bytes(text.begin(), text.begin() + 10), quortest::Utf16(u"bold", true));
}

// Host files: the window places the items of \\Velt\<share> on the OLE clipboard; the host
// hears ReleaseShareName once when another application replaces the clipboard, or when
// the program ends with the files still there.
TEST_F(ShareMgrSim, HostFilesArePlacedAndReleasedOnce)
{
    const auto share = sim_.Path() / "unc" / "Velt" / "clip_7";
    std::filesystem::create_directories(share / "sub");
    std::ofstream(share / "a.txt") << "a";
    std::ofstream(share / ".hidden") << "h";
    for (const bool programEnds : {false, true}) {
        SCOPED_TRACE(programEnds ? "the program ends" : "another application copies");
        const std::size_t released = agent_->Released().size();
        ASSERT_TRUE(agent_->SendFiles("clip_7"));
        p::sim::SimUnknown* held = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (held = p::sim::HeldObject()) != nullptr; }));
        EXPECT_EQ(held->Items(), (std::vector<std::string>{"\\\\Velt\\clip_7\\.hidden", "\\\\Velt\\clip_7\\a.txt",
                                                           "\\\\Velt\\clip_7\\sub"}));
        (void)held->Release();
        EXPECT_EQ(quor::ShareDataObject::Alive(), 1);
        // The program's own OLE write was no change.
        EXPECT_EQ(mgr_->Window().ClipboardChanged().load(), 0U);

        if (programEnds) {
            mgr_->Deinit();
        } else {
            GuestCopies(u"replaced");
        }
        quorhost::ClipMessage m;
        ASSERT_TRUE(agent_->NextMessage(m, 10000));
        EXPECT_EQ(m.format, quor::ShareFormatReleaseShareName);
        if (!programEnds) {
            ASSERT_TRUE(agent_->SyncToHost());
            EXPECT_EQ(NextText(), "replaced");
        }
        ASSERT_EQ(agent_->Released().size(), released + 1);
        EXPECT_EQ(agent_->Released().back(), "clip_7");
        EXPECT_TRUE(WaitUntil([] { return quor::ShareDataObject::Alive() == 0; }));
        EXPECT_EQ(p::sim::LiveShellDataObjects(), 0);
    }
}

// Invalid input never ends the loop: the bytes are drained until the host is quiet, then
// the next valid message is taken. Limits are tested before anything is sized.
TEST_F(ShareMgrSim, InvalidMessagesAreDrainedAndTheNextIsReceived)
{
    struct Case {
        const char* name;
        Bytes bytes;
        const char* log;
    };
    Bytes wrongSignature = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 3, 0);
    wrongSignature[0] ^= 0xFF;
    wrongSignature.insert(wrongSignature.end(), {'a', 'b', 'c'});
    Bytes oversize = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 1, 0);
    const std::uint64_t huge = quor::ShareHeader::kMaxTextHtmlData + 1;
    std::memcpy(oversize.data() + 16, &huge, 8);
    Bytes badCrc = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 1, 0);
    badCrc[30] ^= 1;
    badCrc.push_back('x');
    const std::vector<Case> cases = {
        {"signature", wrongSignature, "Received incorrect signature"},
        {"oversize", oversize, "Received utf-8 text and HTML size 41943043 exceeds the maximum size 41943042"},
        {"crc", badCrc, "Check clipboard header crc error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quortest::LogTail log;
        const std::uint32_t drains = mgr_->Transport().DrainsDone();
        ASSERT_TRUE(host_.SendAll(c.bytes.data(), c.bytes.size()));
        ASSERT_TRUE(WaitUntil([&] { return mgr_->Transport().DrainsDone() > drains; }));
        EXPECT_TRUE(log.Contains(c.log)) << log.Since();
        ASSERT_TRUE(agent_->SendText(c.name));
        // The listen thread holds the clipboard open while it places the text: wait until an
        // application can read it back.
        const std::string name = c.name;
        const Bytes want = quortest::Utf16(std::u16string(name.begin(), name.end()), true);
        EXPECT_TRUE(WaitUntil([&] {
            const Bytes got = AppGets(quor::kCfUnicodeText);
            return got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin());
        }));
    }
}

TEST_F(ShareMgrSim, UnsupportedFormatIsLoggedAndTheLoopGoesOn)
{
    quortest::LogTail log;
    const Bytes zero = quor::ShareHeader::BuildTextHtml(0, 1, 0);
    ASSERT_TRUE(host_.SendClip(0, zero, "z", 1));
    const std::uint32_t seq = p::GetClipboardSequenceNumber();
    ASSERT_TRUE(agent_->SendText("after"));
    ASSERT_TRUE(WaitUntil([&] { return p::GetClipboardSequenceNumber() != seq; }));
    EXPECT_TRUE(log.Contains("Receive format is not supported: 0"));
}

// Each reconnection of the host restarts the listen thread; threads and descriptors stay
// where they were, and nothing is ever terminated.
TEST_F(ShareMgrSim, ManyReconnectionsKeepThreadsAndDescriptorsStable)
{
    // One cycle first: what a reconnection sets up once (the log file's rotation state,
    // the socket pair of the first replacement) is not a leak.
    host_.Close();
    Connect();
    const std::uint64_t terminated = p::sim::TerminatedThreads();
    const std::uint64_t threads = p::sim::RunningThreads();
    const int fds = OpenDescriptors();
    for (int i = 0; i < 200; ++i) {
        host_.Close();
        Connect();
    }
    // A leak would be one or more per cycle; the simulated driver may still hold the last
    // closed connection until it notices the close, so allow that one.
    EXPECT_LE(OpenDescriptors(), fds + 2);
    GuestCopies(u"still here");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "still here");
    EXPECT_EQ(p::sim::TerminatedThreads(), terminated);
    EXPECT_EQ(p::sim::RunningThreads(), threads);
}

// Deinit while the host keeps the listen thread busy completes without a termination.
TEST_F(ShareMgrSim, DeinitUnderABusyHostNeedsNoTermination)
{
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load() && agent_->SyncToHost() && agent_->SendText("busy")) {
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return !AppGets(quor::kCfUnicodeText).empty(); }));
    const std::uint64_t terminated = p::sim::TerminatedThreads();
    quortest::LogTail log;
    mgr_->Deinit();
    EXPECT_EQ(p::sim::TerminatedThreads(), terminated);
    EXPECT_FALSE(log.Contains("Terminate Thread"));
    stop.store(true);
    // The guest reads no more: wake the flood's blocked send before joining it.
    (void)::shutdown(host_.Fd(), SHUT_RDWR);
    flood.join();
    host_.Close();
}

// Deinit is bounded whatever the window thread is doing: blocked in a port write to a host
// that reads no more, it is woken by the port's cancellation and ends on its own; held in a
// call nothing can wake (a network enumeration), it is terminated after the bound.
TEST_F(ShareMgrSim, DeinitReturnsWhateverTheWindowThreadIsDoing)
{
    struct Case {
        const char* name;
        std::function<void()> occupy;  // puts the window thread where Deinit finds it
        bool terminated;
    };
    const std::vector<Case> cases = {
        {"blocked in a port write",
         [&] {
             // Megabytes of text to a host that never reads: the write stops once the
             // socket's buffers are full.
             GuestCopies(std::u16string(4 << 20, u'x'));
             ASSERT_TRUE(agent_->SyncToHost());
             ASSERT_TRUE(WaitUntil([&] {
                 int queued = 0;
                 return ::ioctl(host_.Fd(), FIONREAD, &queued) == 0 && queued > 0;
             }));
         },
         false},
        {"held in a shell call",
         [&] {
             sim_.Faults().Arm("Shell.ILCreateFromPathW", {0, 0, 1, true});
             ASSERT_TRUE(agent_->SendFiles("clipboard_1"));
             ASSERT_TRUE(sim_.Faults().WaitHeld("Shell.ILCreateFromPathW"));
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (mgr_ == nullptr) {
            host_.Close();
            mgr_ = std::make_unique<quor::ShareMgr>();
            mgr_->Transport().SetTimingsForTest(50, 10);
            ASSERT_EQ(mgr_->InitWindow(), 0U);
            ASSERT_EQ(mgr_->InitConfiguration(), 0U);
            Connect();
        }
        c.occupy();
        const std::uint64_t terminated = p::sim::TerminatedThreads();
        const std::uint64_t running = p::sim::RunningThreads();
        quortest::LogTail log;
        std::atomic<bool> returned{false};
        std::thread deinit([&] {
            mgr_->Deinit();
            returned = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 20000));
        // So that a Deinit that hangs ends too: a held thread goes on, a blocked write fails.
        sim_.Faults().Clear();
        if (!returned.load()) {
            (void)::shutdown(host_.Fd(), SHUT_RDWR);
        }
        deinit.join();
        EXPECT_EQ(log.Contains("Terminate Thread for Clipboard Window"), c.terminated) << log.Since();
        EXPECT_FALSE(log.Contains("Terminate Thread for Listen")) << log.Since();
        EXPECT_EQ(p::sim::TerminatedThreads(), terminated + (c.terminated ? 1 : 0));
        // The listen thread and the window thread (abandoned or not) both end.
        EXPECT_TRUE(WaitUntil([&] { return p::sim::RunningThreads() <= running - 2; }));
        mgr_.reset();
    }
}

// Two callers of the configuration at once (the main thread and the window thread on a
// device arrival): one opens the transport and starts one listen thread.
TEST(ShareMgrConfig, ConfigurationIsSerialisedAndDevicesMayComeLater)
{
    quor::platform::sim::SimConfig cfg;
    cfg.serialPorts = {};
    quortest::FreshSimMachine sim(cfg);
    quortest::ProcessLogPath();
    quorhost::VirtioFsBackend backend;
    ASSERT_TRUE(backend.Start());
    {
        quor::ShareMgr mgr;
        mgr.Transport().SetTimingsForTest(50, 1);
        ASSERT_EQ(mgr.InitWindow(), 0U);
        EXPECT_EQ(mgr.InitConfiguration(), p::kErrorConnectionInvalid);
        quortest::LogTail log;
        sim.Machine().PlugSerialPort(3);
        sim.Machine().PlugSerialPort(4);
        std::thread other([&] { (void)mgr.InitConfiguration(); });
        (void)mgr.InitConfiguration();
        other.join();
        ASSERT_TRUE(WaitUntil([&] { return log.Contains("Share manager Configuration already initialised") ||
                                           log.Contains("Share manager configuration init completed"); }));
        EXPECT_TRUE(mgr.IsConfigured());
        EXPECT_EQ(mgr.ListenThreadsStarted(), 1U);
        EXPECT_EQ(mgr.InitConfiguration(), p::kErrorAlreadyInitialized);
        quorhost::HostPort host;
        ASSERT_TRUE(host.Connect(3));
        quorhost::ClipAgent agent(host);
        EXPECT_TRUE(agent.WaitListenStarted());
    }
    backend.Stop();
}

// A device the configuration holds goes away: the listen thread stops, the ports close,
// the notifications go and the flags clear, so that the device can go; its arrival
// configures again. Three cycles of each device, with a round trip after each.
TEST_F(ShareMgrSim, DevicesMayGoAndComeBack)
{
    struct Case {
        const char* name;
        std::function<void()> unplug;
        std::function<void()> plug;
    };
    quor::platform::sim::SimMachine& machine = sim_.Machine();
    const std::vector<Case> cases = {
        {"clipboard port", [&] { machine.UnplugSerialPort(3); }, [&] { machine.PlugSerialPort(3); }},
        {"file-share port", [&] { machine.UnplugSerialPort(4); }, [&] { machine.PlugSerialPort(4); }},
        {"virtio-fs device", [&] { machine.UnplugVirtioFs(); }, [&] { machine.PlugVirtioFs(); }},
    };
    const std::size_t registrations = p::sim::DeviceRegistrations();
    int round = 0;
    for (const Case& c : cases) {
        for (int cycle = 0; cycle < 3; ++cycle) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(cycle));
            c.unplug();
            ASSERT_TRUE(WaitUntil([&] { return !mgr_->IsConfigured() && !mgr_->Transport().IsInitialised(); }));
            EXPECT_EQ(p::sim::OpenSerialPort(3), p::kInvalidPort);
            EXPECT_EQ(p::sim::OpenSerialPort(4), p::kInvalidPort);
            EXPECT_EQ(p::sim::DeviceRegistrations(), registrations - 2);  // the two handle registrations
            host_.Close();
            c.plug();
            ASSERT_TRUE(WaitUntil([&] { return mgr_->IsConfigured(); }));
            Connect();
            const std::string text = "round " + std::to_string(++round);
            GuestCopies(std::u16string(text.begin(), text.end()));
            ASSERT_TRUE(agent_->SyncToHost());
            EXPECT_EQ(NextText(), text);
        }
    }
    // A configuration that fails after the transport opened closes it again, so that the
    // next try starts afresh instead of finding it initialised.
    quortest::LogTail log;
    machine.UnplugSerialPort(3);
    ASSERT_TRUE(WaitUntil([&] { return !mgr_->IsConfigured(); }));
    host_.Close();
    sim_.Faults().Arm("Thread.CreateThread", {p::kErrorNotEnoughMemory, 0, 1, false});
    machine.PlugSerialPort(3);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("Failed to init Share manager configuration: 8"); })) << log.Since();
    EXPECT_FALSE(mgr_->Transport().IsInitialised());
    EXPECT_EQ(p::sim::OpenSerialPort(3), p::kInvalidPort);
    EXPECT_EQ(mgr_->InitConfiguration(), 0U);
    Connect();
    GuestCopies(u"after the failure");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "after the failure");
}

// Only a handle record long enough to hold the status word is a port-status event.
TEST_F(ShareMgrSim, PortStatusNeedsAHandleRecordWithItsStatusWord)
{
    struct Case {
        const char* name;
        std::uint32_t type;
        std::uint32_t size;
        bool restarts;
    };
    const std::vector<Case> cases = {
        {"interface record", quor::kDbtDevtypDeviceInterface, 64, false},
        {"no status word", quor::kDbtDevtypHandle, 56, false},
        {"status word", quor::kDbtDevtypHandle, 60, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quor::DeviceHandleRecord rec{};
        rec.size = c.size;
        rec.deviceType = c.type;
        rec.handle = static_cast<std::uint64_t>(mgr_->Transport().Port().Handle());
        rec.eventGuid = quor::kPortStatusEvent;
        const std::uint32_t connected = 1;
        std::memcpy(rec.data + 4, &connected, 4);
        // Exactly the record's size: a read past it is caught by the address sanitizer.
        Bytes record(c.size);
        std::memcpy(record.data(), &rec, c.size);
        const std::uint32_t before = mgr_->ListenThreadsStarted();
        mgr_->OnPortStatusEvent(record.data());
        EXPECT_EQ(mgr_->ListenThreadsStarted(), before + (c.restarts ? 1 : 0));
        if (c.restarts) {
            agent_ = std::make_unique<quorhost::ClipAgent>(host_);
            ASSERT_TRUE(agent_->WaitListenStarted());
        }
    }
}

// A read that completes with no bytes is the host side gone: the header, data and drain
// loops end there instead of reading on for ever.
TEST_F(ShareMgrSim, AReadWithNoDataEndsTheListenThread)
{
    struct Case {
        const char* name;
        Bytes bytes;  // sent while the listen thread waits for a header
        int skip;     // reads that still get data
    };
    Bytes text = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 5, 0);
    Bytes wrongSignature = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, 5, 0);
    wrongSignature[0] ^= 0xFF;
    wrongSignature.resize(quor::ShareHeader::kSize);
    const std::vector<Case> cases = {
        {"header", Bytes(text.begin(), text.begin() + 10), 0},
        {"data", text, 1},
        {"drain", wrongSignature, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quortest::LogTail log;
        sim_.Faults().Arm("SerialPort.ReadFile.NoData", {1, c.skip, -1, false});  // the error is not used
        ASSERT_TRUE(host_.SendAll(c.bytes.data(), c.bytes.size()));
        ASSERT_TRUE(WaitUntil([&] { return log.Contains("ShareListenProc thread ended"); })) << log.Since();
        EXPECT_TRUE(log.Contains("Read from vioserial port: 3 completed with no data, the host side is closed"));
        sim_.Faults().Clear();
        host_.Close();
        Connect();
    }
    GuestCopies(u"still here");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "still here");
}

// A listen thread asked to stop while it retries the clipboard open gives up at the next
// attempt; one cut off by force in there leaves the clipboard listener on all the same.
TEST_F(ShareMgrSim, StoppingTheListenThreadInAClipboardOpenKeepsTheListener)
{
    // The sleeps between open attempts wait until the test lets them go. Set before the
    // listen thread that uses them starts.
    std::atomic<int> sleeps{0};
    std::atomic<bool> letGo{false};
    mgr_->Window().SetSleepForTest([&](std::uint32_t) {
        ++sleeps;
        while (!letGo.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    host_.Close();
    Connect();
    for (const bool byForce : {false, true}) {
        SCOPED_TRACE(byForce ? "by force" : "stop seen between attempts");
        quortest::LogTail log;
        const std::uint64_t terminated = p::sim::TerminatedThreads();
        sleeps.store(0);
        letGo.store(false);
        ASSERT_TRUE(p::OpenClipboard(App()));  // another application holds the clipboard
        ASSERT_TRUE(agent_->SendText("held"));
        ASSERT_TRUE(WaitUntil([&] { return sleeps.load() == 1; }));
        std::thread stopper([&] { (void)mgr_->StopListen(); });
        if (!byForce) {
            ASSERT_TRUE(WaitUntil([&] { return mgr_->ListenStopping(); }));
            letGo.store(true);
        }
        stopper.join();
        EXPECT_EQ(p::sim::TerminatedThreads() - terminated, byForce ? 1U : 0U);
        ASSERT_TRUE(p::CloseClipboard());
        // The listener is on: a copy of another application is noticed (while a thread cut
        // off by force still sits in its retries).
        mgr_->Window().ClipboardChanged().store(0);
        GuestCopies(u"noticed");
        if (byForce) {
            EXPECT_TRUE(log.Contains("Clipboard listener restored after the listen thread was terminated"));
            letGo.store(true);
        }
        ASSERT_TRUE(WaitUntil([&] { return log.Contains("ShareListenProc thread ended"); })) << log.Since();
        EXPECT_EQ(sleeps.load(), 1);
        EXPECT_TRUE(log.Contains("Opening the clipboard given up after 1 attempts: the thread is stopping"));
        host_.Close();
        Connect();
    }
    GuestCopies(u"still here");
    ASSERT_TRUE(agent_->SyncToHost());
    EXPECT_EQ(NextText(), "still here");
    mgr_->Window().SetSleepForTest(nullptr);
}

}  // namespace
