// quorguest: another application and the agent on the simulated guest, for tests and for
// trying the program by hand (docs/simulation.md).
//
//   quorguest clip set-text <text> | set-html <html> | set-dib <file> | set-files <path>...
//   quorguest clip get
//   quorguest clip hold <ms>
//   quorguest agent <n> close
//   quorguest agent <n> close-on-input
//   quorguest agent <n> send <text>...
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "shared/lib/platform/SimLayout.h"
#include "tools/AgentPipe.h"
#include "tools/DesktopClient.h"

namespace {

namespace sim = quor::platform::sim;

int Usage()
{
    std::fprintf(stderr,
                 "usage: quorguest clip set-text <text> | set-html <html> | set-dib <file> | set-files <path>...\n"
                 "       quorguest clip get | hold <ms>\n"
                 "       quorguest agent <n> close | close-on-input | send <text>...\n"
                 "The simulated machine's folder is $QUOR_SIM_DIR (default /tmp/quor-sim).\n");
    return 2;
}

// The answer's verdict: 0 for ok, 1 for an error answer (printed).
int Verdict(const std::string& answer)
{
    if (answer.rfind("ok", 0) == 0) {
        return 0;
    }
    std::fprintf(stderr, "quorguest: %s\n", answer.c_str());
    return 1;
}

bool ReadWholeFile(const char* path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int Clip(int argc, char** argv)
{
    if (argc < 1) {
        return Usage();
    }
    const std::string cmd = argv[0];
    std::vector<sim::SetItem> items;
    std::string body;
    if (cmd == "get" && argc == 1) {
        body = "get";
    } else if (cmd == "hold" && argc == 2) {
        body = std::string("hold ") + argv[1];
    } else {
        for (int i = 0; i < argc; ++i) {
            const std::string kind = argv[i];
            if (kind == "set-files") {
                std::string paths;
                for (++i; i < argc; ++i) {
                    paths += (paths.empty() ? "" : "\n") + std::string(argv[i]);
                }
                items.push_back({"files", paths});
            } else if (i + 1 >= argc) {
                return Usage();
            } else if (kind == "set-text") {
                items.push_back({"text", argv[++i]});
            } else if (kind == "set-html") {
                items.push_back({"html", argv[++i]});
            } else if (kind == "set-dib") {
                std::string bytes;
                if (!ReadWholeFile(argv[++i], bytes)) {
                    std::fprintf(stderr, "quorguest: cannot read %s\n", argv[i]);
                    return 1;
                }
                if (bytes.size() >= 14 && bytes.compare(0, 2, "BM") == 0) {
                    bytes.erase(0, 14);
                }
                items.push_back({"dib", bytes});
            } else {
                return Usage();
            }
        }
        body = sim::EncodeSetRequest(items);
    }
    quorguest::DesktopClient desktop;
    if (!desktop.Connect()) {
        std::fprintf(stderr, "quorguest: no desktop at %s\n", quor::platform::DesktopSocket().c_str());
        return 1;
    }
    std::string answer;
    if (!desktop.Request(body, answer)) {
        std::fprintf(stderr, "quorguest: the desktop did not answer\n");
        return 1;
    }
    if (cmd == "get") {
        std::vector<sim::FormatContent> formats;
        if (!sim::ParseGetAnswer(answer, formats)) {
            return Verdict(answer.rfind("ok", 0) == 0 ? "error: malformed answer" : answer);
        }
        for (const sim::FormatContent& f : formats) {
            std::printf("%u %s %zu\n%s\n", f.number, f.name.c_str(), f.bytes.size(), quorguest::Describe(f).c_str());
        }
        return 0;
    }
    if (cmd == "hold") {
        if (Verdict(answer) != 0) {
            return 1;
        }
        std::printf("held\n");
        std::fflush(stdout);
        if (!desktop.NextAnswer(answer) || Verdict(answer) != 0) {
            return 1;
        }
        std::printf("released\n");
        return 0;
    }
    return Verdict(answer);
}

int Agent(int argc, char** argv)
{
    if (argc < 2) {
        return Usage();
    }
    const std::string cmd = argv[1];
    std::vector<std::u16string> messages;
    bool awaitInput = false;
    if ((cmd == "close" || cmd == "close-on-input") && argc == 2) {
        messages.push_back(u"\\CLOSE");
        awaitInput = cmd == "close-on-input";
    } else if (cmd == "send" && argc > 2) {
        for (int i = 2; i < argc; ++i) {
            // ASCII arguments: each byte one UTF-16 unit.
            std::u16string m;
            for (const char* p = argv[i]; *p != '\0'; ++p) {
                m.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
            }
            messages.push_back(m);
        }
    } else {
        return Usage();
    }
    quorguest::AgentPipe agent;
    if (!agent.Listen(quorguest::AgentPipe::NameFor(argv[0]))) {
        std::fprintf(stderr, "quorguest: cannot listen on the pipe\n");
        return 1;
    }
    if (!agent.Accept(60000)) {
        std::fprintf(stderr, "quorguest: the program did not connect\n");
        return 1;
    }
    if (awaitInput) {
        // The agent's close command waits for a line (or the end) of its input.
        std::printf("connected\n");
        std::fflush(stdout);
        for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
        }
    }
    for (const std::u16string& m : messages) {
        if (!agent.Send(m)) {
            std::fprintf(stderr, "quorguest: the program closed the pipe\n");
            return 1;
        }
    }
    std::u16string answer;
    if (!agent.Receive(answer, 60000)) {
        std::fprintf(stderr, "quorguest: no answer (the program closed the pipe)\n");
        return 1;
    }
    std::string printable;
    for (const char16_t c : answer) {
        printable.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    std::printf("%s\n", printable.c_str());
    return answer == u"\\CLOSED" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "clip") == 0) {
        return Clip(argc - 2, argv + 2);
    }
    if (argc >= 3 && std::strcmp(argv[1], "agent") == 0) {
        return Agent(argc - 2, argv + 2);
    }
    return Usage();
}
