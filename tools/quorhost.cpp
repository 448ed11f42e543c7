// quorhost: the host side of the simulated machine, for trying the guest by hand.
//
//   quorhost send <port> <text>          write raw bytes to a port
//   quorhost recv <port> [ms]            print raw bytes received until ms of silence
//   quorhost clip-text <port> <text>     send a Unicode text clipboard message
//   quorhost clip-sync <port>            ask the guest for its clipboard (SyncToHost)
//   quorhost clip-recv <port> [ms]       print the next clipboard message from the guest
//   quorhost fs ...                      the file-share client (see FsCli.cpp)
//   quorhost clip ...                    the host's clipboard agent (see ClipCli.cpp)
//   quorhost session [-w ms]             one host for a session, commands on stdin (see SessionCli.cpp)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/ClipCli.h"
#include "tools/FsCli.h"
#include "tools/HostPort.h"
#include "tools/SessionCli.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: quorhost send <port> <text> | recv <port> [ms] | clip-text <port> <text> |\n"
                 "                clip-sync <port> | clip-recv <port> [ms] | fs ... | clip ... | session [-w ms]\n"
                 "The simulated machine's folder is $QUOR_SIM_DIR (default /tmp/quor-sim).\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "fs") == 0) {
        return quorhost::RunFsCli(argc - 1, argv + 1);
    }
    if (argc >= 2 && std::strcmp(argv[1], "clip") == 0) {
        return quorhost::RunClipCli(argc - 1, argv + 1);
    }
    if (argc >= 2 && std::strcmp(argv[1], "session") == 0) {
        return quorhost::RunSessionCli(argc - 1, argv + 1);
    }
    if (argc < 3) {
        return Usage();
    }
    const std::string cmd = argv[1];
    const auto port = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const int waitMs = argc > 3 ? std::atoi(argv[3]) : 2000;
    quorhost::HostPort host;
    if (!host.Connect(port)) {
        std::fprintf(stderr, "quorhost: cannot connect to %s\n", quorhost::HostPort::SocketPath(port).c_str());
        return 1;
    }
    if (cmd == "send" && argc > 3) {
        return host.SendAll(argv[3], std::strlen(argv[3])) ? 0 : 1;
    }
    if (cmd == "recv") {
        char buf[4096];
        long n;
        while ((n = host.RecvSome(buf, sizeof buf, waitMs)) > 0) {
            std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout);
        }
        return 0;
    }
    if (cmd == "clip-text" && argc > 3) {
        std::string text = argv[3];
        text.push_back('\0');
        const auto header = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, text.size(), 0);
        return host.SendClip(quor::ShareFormatUnicodeText, header, text.data(), text.size()) ? 0 : 1;
    }
    if (cmd == "clip-sync") {
        const auto header = quor::ShareHeader::Build(quor::ShareFormatSyncToHost, {}, 0);
        return host.SendClip(quor::ShareFormatSyncToHost, header, nullptr, 0) ? 0 : 1;
    }
    if (cmd == "clip-recv") {
        quorhost::ClipMessage m;
        if (!host.RecvClip(m, waitMs)) {
            std::fprintf(stderr, "quorhost: no valid clipboard message\n");
            return 1;
        }
        std::printf("format %u, header %zu bytes, data %zu bytes\n", m.format, m.header.size(), m.data.size());
        return 0;
    }
    return Usage();
}
