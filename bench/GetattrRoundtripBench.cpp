// GETATTR round trips per second between the host's file-share client and the server
// over the simulated virtio-serial port, against a raw Unix-socket ping-pong of the same
// sizes (the request's bytes out, a 24-byte header and the 64-byte record back). The two
// are timed in alternating rounds and the median of the per-round ratios is reported.
#include <algorithm>
#include <chrono>
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

using quorbench::Clock;
using quorbench::ReadExact;
using quorbench::SendExact;
using quorbench::Seconds;
constexpr int kTripsPerRound = 2000;
constexpr int kRounds = 11;
constexpr std::size_t kReply = 24 + 64;

}  // namespace

int main()
{
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

        std::vector<double> ratios;
        double oursTotal = 0;
        double baseTotal = 0;
        bool failed = false;
        for (int round = 0; round < kRounds && !failed; ++round) {
            const auto t0 = Clock::now();
            for (int i = 0; i < kTripsPerRound; ++i) {
                quorhost::FsAttr a;
                if (client.GetAttr(path, a) != 0 || a.size != 10) {
                    failed = true;
                    break;
                }
            }
            const auto t1 = Clock::now();
            for (int i = 0; i < kTripsPerRound && !failed; ++i) {
                if (::send(sv[0], request.data(), requestSize, MSG_NOSIGNAL) != static_cast<ssize_t>(requestSize) ||
                    !ReadExact(sv[0], reply, 24) || !ReadExact(sv[0], reply + 24, 64)) {
                    failed = true;
                }
            }
            const auto t2 = Clock::now();
            oursTotal += Seconds(t0, t1);
            baseTotal += Seconds(t1, t2);
            ratios.push_back(Seconds(t1, t2) / Seconds(t0, t1));
        }
        ::shutdown(sv[0], SHUT_RDWR);
        echo.join();
        ::close(sv[0]);
        ::close(sv[1]);
        client.Close();
        if (failed) {
            std::fprintf(stderr, "a GETATTR round trip failed\n");
        } else {
            std::sort(ratios.begin(), ratios.end());
            std::printf("GETATTR: %.0f round trips/s, raw socket: %.0f round trips/s (%d rounds of %d)\n",
                        kRounds * kTripsPerRound / oursTotal, kRounds * kTripsPerRound / baseTotal, kRounds,
                        kTripsPerRound);
            std::printf("RATIO getattr_roundtrip %.3f\n", ratios[ratios.size() / 2]);
            status = 0;
        }
    }
    backend.Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
