// Feeds arbitrary request packets to FuseServer::HandleRequest with a writable and a
// read-only share on a temp folder of the simulated machine. Besides the sanitizers'
// findings, an input that creates, changes or removes anything beside the exported
// folder, or touches the sentinel file next to it, aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "fileshare/src/FuseServer.h"
#include "tools/VirtioFsBackend.h"
#include "fileshare/src/WireFormat.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace {

const char kSentinel[] = "outside every share";

struct Harness {
    std::filesystem::path sim;
    std::filesystem::path root;  // C:\fz
    quorhost::VirtioFsBackend backend;
    std::unique_ptr<quor::fs::FuseServer> server;
    std::vector<unsigned char> reply = std::vector<unsigned char>(quor::fs::kBufferSize);

    Harness()
    {
        sim = std::filesystem::temp_directory_path() / ("quor-fuzz-" + std::to_string(::getpid()));
        quor::platform::sim::SimConfig machine;
        machine.dir = sim;
        machine.serialPorts = {30};  // a port nobody connects to: the serving thread idles
        quor::platform::sim::SimMachine::Get().Reset(machine);
        root = sim / "drives" / "C" / "fz";
        std::filesystem::create_directories(root / "share" / "sub");
        std::ofstream(root / "share" / "f.txt") << "file in the share";
        std::ofstream(root / "outside.txt") << kSentinel;
        backend.SetDiscardData(true);
        if (!backend.Start()) {
            std::abort();
        }
        server = std::make_unique<quor::fs::FuseServer>(quor::fs::ServeTimings{60000, 10, 10});
        server->AddShareName("rw", {{"d", "C:\\fz\\share"}, {"f.txt", "C:\\fz\\share\\f.txt"}}, 0, false, false);
        server->AddShareName("ro", {{"d", "C:\\fz\\share"}}, 0, true, true);
        if (!server->Start(30)) {
            std::abort();
        }
    }

    ~Harness()
    {
        server.reset();
        backend.Stop();
        std::error_code ec;
        std::filesystem::remove_all(sim, ec);
    }

    void CheckContained() const
    {
        std::set<std::string> names;
        DIR* d = ::opendir(root.c_str());
        while (const dirent* e = ::readdir(d)) {
            names.insert(e->d_name);
        }
        ::closedir(d);
        std::ifstream in(root / "outside.txt");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (names != std::set<std::string>{".", "..", "share", "outside.txt"} || text != kSentinel) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Harness h;
    // Exactly the bytes received: a read past them is a finding.
    std::unique_ptr<unsigned char[]> request(new unsigned char[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(request.get(), data, size);
    }
    h.server->HandleRequest(request.get(), size, h.reply.data());
    h.CheckContained();
    return 0;
}
