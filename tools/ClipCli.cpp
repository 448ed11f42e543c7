// quorhost clip [-p port] [-w ms] <command>
//   get [dir]            ask the guest for its clipboard and save it into dir (default .):
//                        text.txt, html.html, image.bmp; a file list's files are fetched
//                        through the file-share client (port 4) into dir/<share>/
//   set-text <text>      put host text on the guest clipboard
//   set-html <file>      put the HTML in file on the guest clipboard
//   set-dib <file>       put the DIB in file (no BMP file header) on the guest clipboard
//   set-files <share>    offer the host share \\Velt\<share> to the guest
//   watch                print every message the guest sends until the port closes
#include "tools/ClipCli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quorsharemgr/ShareFormat.h"
#include "tools/ClipAgent.h"
#include "tools/FsClient.h"
#include "tools/HostPort.h"
#include "tools/VirtioFsBackend.h"

namespace quorhost {

namespace {

int ClipUsage()
{
    std::fprintf(stderr, "usage: quorhost clip [-p port] [-w ms] get [dir] | set-text <text> | set-html <file> |\n"
                         "                     set-dib <file> | set-files <share> | watch\n");
    return 2;
}

bool Save(const std::filesystem::path& path, const void* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

std::vector<unsigned char> Load(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int GetGuestClipboard(ClipAgent& agent, const std::filesystem::path& dir, int waitMs, FsClient* fileShare)
{
    if (!agent.SyncToHost()) {
        return 1;
    }
    GuestClip clip;
    if (!agent.Next(clip, waitMs)) {
        std::fprintf(stderr, "quorhost clip get: the guest sent nothing (its clipboard has not changed)\n");
        return 1;
    }
    std::filesystem::create_directories(dir);
    std::printf("format %u\n", clip.format);
    if (!clip.text.empty()) {
        std::string t = clip.text;
        if (t.back() == '\0') {
            t.pop_back();
        }
        std::printf("text: %zu bytes\n", t.size());
        if (!Save(dir / "text.txt", t.data(), t.size())) {
            return 1;
        }
    }
    if (!clip.html.empty()) {
        std::printf("html: %zu bytes, images under \\\\Velt\\%s\n", clip.html.size(), clip.htmlShare.c_str());
        if (!Save(dir / "html.html", clip.html.data(), clip.html.size())) {
            return 1;
        }
    }
    if (!clip.dib.empty()) {
        std::printf("bitmap: %zu bytes\n", clip.dib.size());
        if (!Save(dir / "image.bmp", clip.dib.data(), clip.dib.size())) {
            return 1;
        }
    }
    if (clip.format == quor::ShareFormatFiles) {
        std::printf("files in share %s\n", clip.filesShare.c_str());
        VirtioFsBackend ownBackend;
        FsClient ownClient(ownBackend);
        if (fileShare == nullptr) {
            if (!ownBackend.Start() || !ownClient.Connect(4, waitMs)) {
                std::fprintf(stderr, "quorhost clip get: the guest's file-share server did not connect\n");
                return 1;
            }
            fileShare = &ownClient;
        }
        FsClient& client = *fileShare;
        std::filesystem::create_directories(dir / clip.filesShare);
        for (const std::string& name : clip.files) {
            std::vector<unsigned char> data;
            const std::int32_t r = client.GetFile("/" + clip.filesShare + "/" + name, data);
            std::printf("  %s: %s\n", name.c_str(), r == 0 ? "fetched" : ("error " + std::to_string(r)).c_str());
            if (r == 0 && !Save(dir / clip.filesShare / name, data.data(), data.size())) {
                return 1;
            }
        }
    }
    return 0;
}

int RunClipCli(int argc, char** argv)
{
    std::uint32_t port = 3;
    int waitMs = 10000;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (std::strcmp(argv[i], "-p") == 0) {
            port = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (std::strcmp(argv[i], "-w") == 0) {
            waitMs = std::atoi(argv[i + 1]);
        } else {
            return ClipUsage();
        }
    }
    if (i >= argc) {
        return ClipUsage();
    }
    const std::string cmd = argv[i];
    const char* arg = i + 1 < argc ? argv[i + 1] : nullptr;
    HostPort host;
    if (!host.Connect(port, waitMs)) {
        std::fprintf(stderr, "quorhost clip: cannot connect to %s\n", HostPort::SocketPath(port).c_str());
        return 1;
    }
    ClipAgent agent(host);
    if (!agent.WaitListenStarted(waitMs)) {
        std::fprintf(stderr, "quorhost clip: the guest's listen thread did not start\n");
        return 1;
    }
    if (cmd == "get") {
        return GetGuestClipboard(agent, arg != nullptr ? arg : ".", waitMs, nullptr);
    }
    if (cmd == "set-text" && arg != nullptr) {
        return agent.SendText(std::string(arg) + '\0') ? 0 : 1;
    }
    if (cmd == "set-html" && arg != nullptr) {
        const std::vector<unsigned char> html = Load(arg);
        return agent.SendHtml(std::string(html.begin(), html.end())) ? 0 : 1;
    }
    if (cmd == "set-dib" && arg != nullptr) {
        return agent.SendDib(Load(arg)) ? 0 : 1;
    }
    if (cmd == "set-files" && arg != nullptr) {
        return agent.SendFiles(arg) ? 0 : 1;
    }
    if (cmd == "watch") {
        ClipMessage m;
        while (agent.NextMessage(m, 24 * 3600 * 1000)) {
            std::printf("format %u, header %zu bytes, data %zu bytes\n", m.format, m.header.size(), m.data.size());
            if (m.format == quor::ShareFormatReleaseShareName) {
                std::printf("  released %s\n", agent.Released().back().c_str());
            }
            std::fflush(stdout);
        }
        return 0;
    }
    return ClipUsage();
}

}  // namespace quorhost
