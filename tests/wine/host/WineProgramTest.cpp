// The unchanged Windows program under Wine, end to end: the stand-in virtio devices
// (tests/wine/standin) carry its ports and its virtio-fs device to this process, which is the
// host (the reference peer of tools/ over QUOR_HOST_TCP). The guest's other applications and
// the agent are standin_helper.exe under Wine.
//
// Built by the linux preset and run by the win-x64 ctest (between wine_start and wine_stop)
// and the win-arm64 one, which give the environment:
//   QUOR_WINE_RUN      the build's Wine runner (the prefix and Wine's settings)
//   QUOR_WINE_PROGRAM  quorsharemgr.exe      QUOR_WINE_HELPER  standin_helper.exe
//   QUOR_WINEPREFIX    the prefix            QUOR_HOST_TCP     the stand-ins' TCP ports
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

#include "quorsharemgr/ShareFormat.h"
#include "tests/support/WaitUntil.h"
#include "tests/wine/host/WineProcess.h"
#include "tools/ClipAgent.h"
#include "tools/FsClient.h"
#include "tools/HostPort.h"
#include "tools/HostTcp.h"
#include "tools/VirtioFsBackend.h"

namespace {

constexpr int kWaitMs = 60000;
constexpr char kPipeArgument[] = "7001";

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The Unix process of a Windows program that `root` (a runner's shell) started: Wine names
// each process after its exe (the kernel keeps 15 characters); 0 when there is none.
pid_t WindowsProcessUnder(pid_t root, const std::string& exe)
{
    std::vector<pid_t> family{root};
    for (std::size_t i = 0; i < family.size(); ++i) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::ifstream stat(entry.path() / "stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const std::size_t open = text.find('(');
            const std::size_t close = text.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) {
                continue;
            }
            const pid_t ppid = static_cast<pid_t>(std::atoi(text.c_str() + text.find(' ', close + 2) + 1));
            if (ppid != family[i]) {
                continue;
            }
            const pid_t pid = static_cast<pid_t>(std::stol(name));
            if (exe.compare(0, 15, text, open + 1, close - open - 1) == 0) {
                return pid;
            }
            family.push_back(pid);
        }
    }
    return 0;
}

std::string WithoutNul(std::string text)
{
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

class WineProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        wineRun_ = Env("QUOR_WINE_RUN");
        helper_ = Env("QUOR_WINE_HELPER");
        ASSERT_FALSE(wineRun_.empty() || helper_.empty() || Env("QUOR_WINE_PROGRAM").empty())
            << "run by the Windows presets' ctest, which sets QUOR_WINE_RUN, QUOR_WINE_PROGRAM and QUOR_WINE_HELPER";
        const quorhost::TcpMap& tcp = quorhost::TcpMap::FromEnvironment();
        ASSERT_TRUE(tcp.fs && tcp.ports.count(3) == 1 && tcp.ports.count(4) == 1) << "QUOR_HOST_TCP";
        std::filesystem::remove(ProgramLogPath());

        ASSERT_TRUE(backend_.Start());
        agent_ = std::make_unique<quortest::WineProcess>(wineRun_, std::vector<std::string>{helper_, "agent", kPipeArgument});
        std::string line;
        ASSERT_TRUE(agent_->Line(line, kWaitMs) && line == "listening") << agent_->Output();
        program_ = std::make_unique<quortest::WineProcess>(wineRun_,
                                                           std::vector<std::string>{Env("QUOR_WINE_PROGRAM"), kPipeArgument});
        ASSERT_TRUE(agent_->Line(line, kWaitMs) && line == "connected") << agent_->Output();
        ASSERT_TRUE(clipPort_.Connect(3, kWaitMs));
        clip_ = std::make_unique<quorhost::ClipAgent>(clipPort_);
        ASSERT_TRUE(clip_->WaitListenStarted(kWaitMs)) << Log();
    }
    void TearDown() override
    {
        // The agent's "\CLOSE" over the real named pipe ends the program with 0.
        if (agent_ != nullptr && program_ != nullptr) {
            ASSERT_TRUE(agent_->Write("close\n"));
            EXPECT_EQ(agent_->Wait(kWaitMs), 0) << agent_->Output();
            EXPECT_NE(agent_->Output().find("answer \\CLOSED"), std::string::npos) << agent_->Output();
            EXPECT_EQ(program_->Wait(kWaitMs), 0) << Log();
        }
        fs_.reset();
        clip_.reset();
        clipPort_.Close();
        backend_.Stop();
    }

    std::string ProgramLogPath() const { return Env("QUOR_WINEPREFIX") + "/drive_c/ProgramData/QUOR/log/quor.log"; }
    std::string Log() const
    {
        std::ifstream in(ProgramLogPath(), std::ios::binary);
        return "program log:\n" + std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    int Helper(const std::vector<std::string>& args, std::string& output)
    {
        std::vector<std::string> all{helper_};
        all.insert(all.end(), args.begin(), args.end());
        return quortest::RunWine(wineRun_, all, output);
    }
    // The guest's clipboard as another application reads it, until it has `line`.
    bool GuestClipboardHas(const std::string& line)
    {
        std::string output;
        return quortest::WaitUntil(
            [&] { return Helper({"clip-get"}, output) == 0 && output.find(line + "\r\n") != std::string::npos; },
            kWaitMs);
    }
    // Asks for the guest's clipboard until the guest answers, then takes its next data
    // message: a request that reaches the program before it has seen the change is answered
    // by silence. A message is only read once it has begun to arrive, and then whole.
    bool NextGuestClip(quorhost::GuestClip& clip)
    {
        const bool answered = quortest::WaitUntil(
            [&] {
                pollfd p{clipPort_.Fd(), POLLIN, 0};
                return clip_->SyncToHost() && ::poll(&p, 1, 1000) == 1;
            },
            kWaitMs);
        return answered && clip_->Next(clip, kWaitMs);
    }

    std::string wineRun_;
    std::string helper_;
    quorhost::VirtioFsBackend backend_;
    std::unique_ptr<quortest::WineProcess> agent_;
    std::unique_ptr<quortest::WineProcess> program_;
    quorhost::HostPort clipPort_;
    std::unique_ptr<quorhost::ClipAgent> clip_;
    std::unique_ptr<quorhost::FsClient> fs_;
};

// Ctrl+C: Wine raises CTRL_C_EVENT in the program when its process gets SIGINT, as Windows
// does for a key press on its console. The normal shutdown runs and the exit code is 0.
TEST_F(WineProgram, ACtrlCEndsItWithZero)
{
    pid_t pid = 0;
    ASSERT_TRUE(quortest::WaitUntil([&] { return (pid = WindowsProcessUnder(program_->Pid(), "quorsharemgr.exe")) != 0; },
                                    kWaitMs));
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(program_->Wait(kWaitMs), 0) << Log();
    const std::string log = Log();
    EXPECT_NE(log.find("Console control event 0: shutting down"), std::string::npos) << log;
    EXPECT_EQ(log.find("Terminate Thread"), std::string::npos) << log;
    program_.reset();
    // The agent's close finds the program gone: it ends with its error status.
    ASSERT_TRUE(agent_->Write("close\n"));
    EXPECT_GT(agent_->Wait(kWaitMs), 0) << agent_->Output();
    agent_.reset();
}

TEST_F(WineProgram, GuestTextReachesTheHost)
{
    std::string output;
    ASSERT_EQ(Helper({"clip-set-text", "guest h\xc3\xa9llo \xe4\xb8\x96"}, output), 0) << output;
    quorhost::GuestClip clip;
    ASSERT_TRUE(NextGuestClip(clip)) << Log();
    EXPECT_EQ(clip.format, quor::ShareFormatUnicodeText);
    EXPECT_EQ(WithoutNul(clip.text), "guest h\xc3\xa9llo \xe4\xb8\x96");
}

TEST_F(WineProgram, HostTextHtmlAndBitmapArePlacedOnTheGuestClipboard)
{
    ASSERT_TRUE(clip_->SendText("host w\xc3\xb6rds"));
    EXPECT_TRUE(GuestClipboardHas("text host w\xc3\xb6rds")) << Log();

    ASSERT_TRUE(clip_->SendHtml("<b>bold</b>", "bold"));
    EXPECT_TRUE(GuestClipboardHas("text bold")) << Log();
    std::string output;
    ASSERT_EQ(Helper({"clip-get"}, output), 0);
    EXPECT_NE(output.find("<!--StartFragment--><b>bold</b><!--EndFragment-->"), std::string::npos) << output;

    // A 3 x 2 DIB, 24 bits, rows padded to 12 bytes.
    std::vector<unsigned char> dib(40 + 2 * 12, 0x5A);
    const std::uint32_t header = 40, width = 3, height = 2, planesBits = 1 | (24U << 16), none = 0;
    std::memcpy(dib.data(), &header, 4);
    std::memcpy(dib.data() + 4, &width, 4);
    std::memcpy(dib.data() + 8, &height, 4);
    std::memcpy(dib.data() + 12, &planesBits, 4);
    for (int at = 16; at < 40; at += 4) {
        std::memcpy(dib.data() + at, &none, 4);
    }
    ASSERT_TRUE(clip_->SendDib(dib));
    EXPECT_TRUE(GuestClipboardHas("dib 3 2 24")) << Log();
}

TEST_F(WineProgram, TheHostReadsGuestFilesWithReadDataOverVirtioFs)
{
    // More than one READ (the guest answers at most FsClient::kMaxRead per request).
    const std::filesystem::path folder = Env("QUOR_WINEPREFIX") + "/drive_c/quor-wine-test";
    std::filesystem::create_directories(folder);
    std::vector<unsigned char> content(2 * quorhost::FsClient::kMaxRead + 12345);
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<unsigned char>((i * 131) % 251);
    }
    {
        std::ofstream out(folder / "data.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    std::string output;
    ASSERT_EQ(Helper({"clip-set-files", "C:\\quor-wine-test\\data.bin"}, output), 0) << output;
    quorhost::GuestClip clip;
    ASSERT_TRUE(NextGuestClip(clip)) << Log();
    ASSERT_EQ(clip.format, quor::ShareFormatFiles);
    ASSERT_EQ(clip.files, std::vector<std::string>{"data.bin"});

    fs_ = std::make_unique<quorhost::FsClient>(backend_);
    fs_->SetTimeout(kWaitMs);
    ASSERT_TRUE(fs_->Connect(4, kWaitMs)) << Log();
    std::vector<unsigned char> got;
    ASSERT_EQ(fs_->GetFile("/" + clip.filesShare + "/data.bin", got), 0) << Log();
    EXPECT_TRUE(got == content) << got.size() << " bytes";
    EXPECT_GE(backend_.DataBytes(), content.size()) << "READ data went over the virtio-fs device";
    std::filesystem::remove_all(folder);
}

}  // namespace
