// quorhost session [-w ms]: one host for a whole session, driven line by line on stdin.
//
// It serves the virtio-fs device from the moment it starts, so start it before the guest
// program (whose file-share server opens the device once, when it starts), and it keeps
// its clipboard-port and file-share connections from one command to the next. It prints
// "ready" once the device is served; each command's output ends with the line ". <status>"
// (0 success, 1 failure, 2 wrong usage). Commands:
//   clip get <dir>             the guest's clipboard into dir (as quorhost clip get)
//   clip set-text <text...>    host text to the guest clipboard (the rest of the line)
//   clip set-html <file> [share]  the HTML in file, after the HtmlShareName share when given
//                              (its images are then reached under \\Velt\<share>)
//   clip set-dib <file>        the DIB in file
//   clip set-files <share>     the host share \\Velt\<share>
//   clip released              the share names the guest has released so far
//   fs <command>               as one quorhost fs command (ls, stat, get, put, ...)
// The session ends at the end of its input.
#include "tools/SessionCli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/ClipAgent.h"
#include "tools/ClipCli.h"
#include "tools/FsCli.h"
#include "tools/FsClient.h"
#include "tools/HostPort.h"
#include "tools/VirtioFsBackend.h"

namespace quorhost {

namespace {

constexpr std::uint32_t kClipboardPort = 3;
constexpr std::uint32_t kFileSharePort = 4;

std::vector<unsigned char> Load(const std::string& path, bool& ok)
{
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

class Session {
public:
    explicit Session(int waitMs) : waitMs_(waitMs) { fs_.SetTimeout(waitMs); }

    bool Start() { return backend_.Start(); }

    int Run(const std::vector<std::string>& words, const std::string& rest)
    {
        if (words.size() >= 2 && words[0] == "clip") {
            return Clip(words, rest);
        }
        if (words.size() >= 2 && words[0] == "fs") {
            FsClient* client = FileShare();
            return client == nullptr ? 1 : RunFsCommand(*client, {words.begin() + 1, words.end()});
        }
        std::fprintf(stderr, "quorhost session: unknown command\n");
        return 2;
    }

private:
    int Clip(const std::vector<std::string>& words, const std::string& rest)
    {
        const std::string& cmd = words[1];
        ClipAgent* agent = Agent();
        if (agent == nullptr) {
            return 1;
        }
        if (cmd == "get" && words.size() == 3) {
            return GetGuestClipboard(*agent, words[2], waitMs_, FileShare());
        }
        if (cmd == "set-text" && !rest.empty()) {
            return agent->SendText(rest + '\0') ? 0 : 1;
        }
        if (cmd == "released" && words.size() == 2) {
            for (const std::string& name : agent->Released()) {
                std::printf("released %s\n", name.c_str());
            }
            return 0;
        }
        if (cmd == "set-html" && words.size() == 4 && !agent->SendHtmlShareName(words[3])) {
            return 1;
        }
        if (words.size() != 3 && !(cmd == "set-html" && words.size() == 4)) {
            return 2;
        }
        if (cmd == "set-files") {
            return agent->SendFiles(words[2]) ? 0 : 1;
        }
        bool ok = false;
        const std::vector<unsigned char> data = Load(words[2], ok);
        if (!ok) {
            std::fprintf(stderr, "quorhost session: cannot read %s\n", words[2].c_str());
            return 1;
        }
        if (cmd == "set-html") {
            return agent->SendHtml(std::string(data.begin(), data.end())) ? 0 : 1;
        }
        if (cmd == "set-dib") {
            return agent->SendDib(data) ? 0 : 1;
        }
        return 2;
    }

    // The clipboard agent, connected on first use (the guest's listen thread has started).
    ClipAgent* Agent()
    {
        if (agent_) {
            return agent_.get();
        }
        if (!clipPort_.Connect(kClipboardPort, waitMs_)) {
            std::fprintf(stderr, "quorhost session: cannot connect to %s\n",
                         HostPort::SocketPath(kClipboardPort).c_str());
            return nullptr;
        }
        agent_ = std::make_unique<ClipAgent>(clipPort_);
        if (!agent_->WaitListenStarted(waitMs_)) {
            std::fprintf(stderr, "quorhost session: the guest's listen thread did not start\n");
            agent_.reset();
            clipPort_.Close();
            return nullptr;
        }
        return agent_.get();
    }

    // The file-share client, connected on first use.
    FsClient* FileShare()
    {
        if (!fsConnected_) {
            fsConnected_ = fs_.Connect(kFileSharePort, waitMs_);
            if (!fsConnected_) {
                std::fprintf(stderr, "quorhost session: the guest's file-share server did not connect\n");
                return nullptr;
            }
        }
        return &fs_;
    }

    int waitMs_;
    VirtioFsBackend backend_;
    FsClient fs_{backend_};
    bool fsConnected_ = false;
    HostPort clipPort_;
    std::unique_ptr<ClipAgent> agent_;
};

}  // namespace

int RunSessionCli(int argc, char** argv)
{
    int waitMs = 10000;
    if (argc == 3 && std::strcmp(argv[1], "-w") == 0) {
        waitMs = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: quorhost session [-w ms]   (commands on stdin)\n");
        return 2;
    }
    Session session(waitMs);
    if (!session.Start()) {
        std::fprintf(stderr, "quorhost session: cannot serve the virtio-fs device\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) {
            words.push_back(w);
        }
        if (words.empty()) {
            continue;
        }
        // The text of `clip set-text` is the rest of the line after its two words.
        std::string rest;
        if (words.size() > 2) {
            const std::size_t at = line.find(words[1]) + words[1].size();
            rest = line.substr(line.find_first_not_of(' ', at));
        }
        const int status = session.Run(words, rest);
        std::fflush(stderr);
        std::printf(". %d\n", status);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace quorhost
