// quorhost fs: the host's file-share client on the command line.
//
//   quorhost fs [-p <port>] [-w <ms>] <command> [; <command>]...
//     ls <path>                 list a directory ("/" lists the shares)
//     stat <path>               mode, size and times
//     get <path> <file|->       copy a guest file to a host file (or stdout)
//     put <file> <path>         copy a host file to the guest
//     rm <path> | rmdir <path> | mkdir <path>
//     mv <from> <to>            rename (the target must not exist)
//     truncate <path> <length>
//
// The commands share one connection; separate them with ";" (quoted from the shell).
// READ data arrives through the virtio-fs back end that this process serves on
// $QUOR_SIM_DIR/viofs, so the guest's file-share server must open its device while the
// command runs (it connects to the device when it starts).
#include "tools/FsCli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/FsClient.h"
#include "tools/VirtioFsBackend.h"

namespace quorhost {

namespace {

int FsUsage()
{
    std::fprintf(stderr,
                 "usage: quorhost fs [-p port] [-w ms] <command> [';' <command>]...\n"
                 "  ls <path> | stat <path> | get <path> <file|-> | put <file> <path> | rm <path> |\n"
                 "  mv <from> <to> | mkdir <path> | rmdir <path> | truncate <path> <length>\n");
    return 2;
}

int Report(const std::vector<std::string>& cmd, std::int32_t r)
{
    if (r == 0) {
        return 0;
    }
    if (r == FsClient::kNoReply) {
        std::fprintf(stderr, "quorhost fs %s: no reply from the guest\n", cmd[0].c_str());
    } else {
        std::fprintf(stderr, "quorhost fs %s %s: error %d\n", cmd[0].c_str(), cmd.size() > 1 ? cmd[1].c_str() : "",
                     r);
    }
    return 1;
}

}  // namespace

int RunFsCommand(FsClient& client, const std::vector<std::string>& cmd)
{
    const std::string& c = cmd[0];
    const std::size_t n = cmd.size();
    if (c == "ls" && n == 2) {
        std::vector<std::string> names;
        const std::int32_t r = client.ReadDir(cmd[1], names);
        for (const std::string& name : names) {
            std::printf("%s\n", name.c_str());
        }
        return Report(cmd, r);
    }
    if (c == "stat" && n == 2) {
        FsAttr a;
        const std::int32_t r = client.GetAttr(cmd[1], a);
        if (r == 0) {
            std::printf("%s mode 0x%llx size %llu atime %llu mtime %llu ctime %llu\n",
                        (a.mode & 0x4000) != 0 ? "dir " : "file", static_cast<unsigned long long>(a.mode),
                        static_cast<unsigned long long>(a.size), static_cast<unsigned long long>(a.atime),
                        static_cast<unsigned long long>(a.mtime), static_cast<unsigned long long>(a.ctime));
        }
        return Report(cmd, r);
    }
    if (c == "get" && n == 3) {
        std::vector<unsigned char> data;
        const std::int32_t r = client.GetFile(cmd[1], data);
        if (r == 0) {
            if (cmd[2] == "-") {
                std::fwrite(data.data(), 1, data.size(), stdout);
            } else {
                std::ofstream out(cmd[2], std::ios::binary);
                out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
                if (!out) {
                    std::fprintf(stderr, "quorhost fs get: cannot write %s\n", cmd[2].c_str());
                    return 1;
                }
            }
        }
        return Report(cmd, r);
    }
    if (c == "put" && n == 3) {
        std::ifstream in(cmd[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "quorhost fs put: cannot read %s\n", cmd[1].c_str());
            return 1;
        }
        const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return Report({c, cmd[2]}, client.PutFile(cmd[2], data));
    }
    if (c == "rm" && n == 2) {
        return Report(cmd, client.Unlink(cmd[1]));
    }
    if (c == "mv" && n == 3) {
        return Report(cmd, client.Rename(cmd[1], cmd[2]));
    }
    if (c == "mkdir" && n == 2) {
        return Report(cmd, client.Mkdir(cmd[1]));
    }
    if (c == "rmdir" && n == 2) {
        return Report(cmd, client.Rmdir(cmd[1]));
    }
    if (c == "truncate" && n == 3) {
        return Report(cmd, client.Truncate(cmd[1], std::strtoull(cmd[2].c_str(), nullptr, 10)));
    }
    return FsUsage();
}

int RunFsCli(int argc, char** argv)
{
    std::uint32_t port = 4;
    int waitMs = 10000;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i += 2) {
        if (std::strcmp(argv[i], "-p") == 0) {
            port = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (std::strcmp(argv[i], "-w") == 0) {
            waitMs = std::atoi(argv[i + 1]);
        } else {
            return FsUsage();
        }
    }
    std::vector<std::vector<std::string>> commands(1);
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], ";") == 0) {
            commands.emplace_back();
        } else {
            commands.back().emplace_back(argv[i]);
        }
    }
    for (const auto& cmd : commands) {
        if (cmd.empty()) {
            return FsUsage();
        }
    }
    VirtioFsBackend backend;
    if (!backend.Start()) {
        std::fprintf(stderr, "quorhost fs: cannot serve the virtio-fs device\n");
        return 1;
    }
    FsClient client(backend);
    client.SetTimeout(waitMs);
    if (!client.Connect(port, waitMs)) {
        std::fprintf(stderr, "quorhost fs: the guest's file-share server did not connect on port %u\n", port);
        return 1;
    }
    for (const auto& cmd : commands) {
        const int r = RunFsCommand(client, cmd);
        if (r != 0) {
            return r;
        }
    }
    return 0;
}

}  // namespace quorhost
