// GETATTR round trips per second between the host's file-share client and the server
// over the simulated virtio-serial port, against a raw Unix-socket ping-pong of the same
// sizes (the request's bytes out, a 24-byte header and the 64-byte record back). The two
// are timed in alternating rounds and the median of the rounds' ratios is reported.
// All threads stay on one processor: see PinToOneProcessor in bench/BenchIo.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/FsClient.h"
#include "fileshare/src/FuseServer.h"
#include "tools/VirtioFsBackend.h"
#include "shared/lib/platform/posix/SimMachine.h"

#include "bench/BenchIo.h"

namespace {

using quorbench::ReadExact;
constexpr int kTripsPerRound = 1000;
constexpr int kRounds = 21;
constexpr std::size_t kReply = 24 + 64;

}  // namespace

int main()
{
    if (!quorbench::PinToOneProcessor()) {
        std::fprintf(stderr, "cannot keep the benchmark on one processor; the ratio may vary from run to run\n");
    }
    const auto dir = std::filesystem::temp_directory_path() / ("quor-bench-getattr-" + std::to_string(::getpid()));
    quor::platform::sim::SimConfig machine;
    machine.dir = dir;
    quor::platform::sim::SimMachine::Get().Reset(machine);
    std::filesystem::create_directories(dir / "drives" / "C" / "bench");
    std::ofstream(dir / "drives" / "C" / "bench" / "f.txt") << "attributes";
    const std::string path = "/b/f.txt";

    quorhost::VirtioFsBackend backend;
    if (!backend.Start()) {
        return 1;
    }
    int status = 1;
    {
        quor::fs::FuseServer server(quor::fs::ServeTimings{50, 50, 10});
        server.AddShareName("b", {{"f.txt", "C:\\bench\\f.txt"}}, 0, true, true);
        quorhost::FsClient client(backend);
        if (!server.Start(4) || !client.Connect(4, 5000)) {
            std::fprintf(stderr, "cannot connect the file-share client\n");
            return 1;
        }
        std::vector<unsigned char> request(256);
        const std::size_t requestSize =
            quor::fs::BuildRequest(request.data(), request.size(), quor::fs::FUSE_GETATTR, 1, {}, path);

        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            return 1;
        }
        std::thread echo([fd = sv[1], requestSize] {
            std::vector<unsigned char> in(requestSize);
            unsigned char out[kReply] = {};
            while (ReadExact(fd, in.data(), 32) && ReadExact(fd, in.data() + 32, requestSize - 32) &&
                   ::send(fd, out, kReply, MSG_NOSIGNAL) == static_cast<ssize_t>(kReply)) {
            }
        });
        unsigned char reply[kReply];

        // One round of each side; false when a round trip failed.
        const auto ours = [&] {
            for (int i = 0; i < kTripsPerRound; ++i) {
                quorhost::FsAttr a;
                if (client.GetAttr(path, a) != 0 || a.size != 10) {
                    return false;
                }
            }
            return true;
        };
        const auto baseline = [&] {
            for (int i = 0; i < kTripsPerRound; ++i) {
                if (::send(sv[0], request.data(), requestSize, MSG_NOSIGNAL) != static_cast<ssize_t>(requestSize) ||
                    !ReadExact(sv[0], reply, 24) || !ReadExact(sv[0], reply + 24, 64)) {
                    return false;
                }
            }
            return true;
        };
        quorbench::Rounds rounds;
        const bool failed = !rounds.Time(kRounds, ours, baseline);
        ::shutdown(sv[0], SHUT_RDWR);
        echo.join();
        ::close(sv[0]);
        ::close(sv[1]);
        client.Close();
        if (failed) {
            std::fprintf(stderr, "a GETATTR round trip failed\n");
        } else {
            rounds.Print("GETATTR", "raw socket", "round trips/s", kTripsPerRound,
                         (std::to_string(kTripsPerRound) + " round trips").c_str(), "getattr_roundtrip");
            status = 0;
        }
    }
    backend.Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
