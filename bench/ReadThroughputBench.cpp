// READ throughput of a 16 MiB file in READs of the largest size (2 MiB less the 80 header
// bytes) through the file-share server to the simulated virtio-fs device, against a raw
// loop that does the same I/O by hand: pread of the same chunks and a write of each, with
// the same 64 header bytes, to the same device socket, reading its 16-byte answer. The
// two are timed in alternating rounds and the median of the rounds' ratios is reported.
// Both sides hand 2 MiB through a socket to the back end's thread; on two processors each
// hand-off can wake an idle virtual processor, and which side's threads the scheduler
// splits is chance (the baseline ran at a quarter of its speed in some runs), so the
// benchmark keeps all its threads on one processor.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
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
using quorbench::SendExact;
constexpr std::size_t kFileSize = 16u << 20;
constexpr std::uint32_t kChunk = 0x1FFFB0;
constexpr int kRounds = 31;

}  // namespace

int main()
{
    if (!quorbench::PinToOneProcessor()) {
        std::fprintf(stderr, "cannot keep the benchmark on one processor; the ratio may vary from run to run\n");
    }
    const auto dir = std::filesystem::temp_directory_path() / ("quor-bench-read-" + std::to_string(::getpid()));
    quor::platform::sim::SimConfig machine;
    machine.dir = dir;
    quor::platform::sim::SimMachine::Get().Reset(machine);
    const auto fileDir = dir / "drives" / "C" / "bench";
    std::filesystem::create_directories(fileDir);
    {
        std::vector<char> data(kFileSize);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<char>(i * 131 + (i >> 12));
        }
        std::ofstream(fileDir / "big.bin", std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }

    quorhost::VirtioFsBackend backend;
    backend.SetDiscardData(true);
    if (!backend.Start()) {
        std::fprintf(stderr, "cannot serve the simulated virtio-fs device\n");
        return 1;
    }
    int status = 1;
    {
        quor::fs::FuseServer server(quor::fs::ServeTimings{50, 50, 10});
        server.AddShareName("b", {{"big.bin", "C:\\bench\\big.bin"}}, 0, true, true);
        quorhost::FsClient client(backend);
        if (!server.Start(4) || !client.Connect(4, 5000) || client.Open("/b/big.bin", quor::fs::kOpenBinary, 1) != 0) {
            std::fprintf(stderr, "cannot connect the file-share client\n");
            return 1;
        }

        // Baseline: its own connection to the same device socket.
        const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const std::string viofs = (dir / "viofs").string();
        std::memcpy(addr.sun_path, viofs.c_str(), viofs.size() + 1);
        const int file = ::open((fileDir / "big.bin").c_str(), O_RDONLY | O_CLOEXEC);
        if (raw < 0 || file < 0 || ::connect(raw, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::fprintf(stderr, "cannot set up the baseline\n");
            return 1;
        }
        std::vector<unsigned char> buf(64 + kChunk);

        // Ours: every READ of the file sent at once; done when the device has had them all.
        const auto ours = [&] {
            const std::uint64_t before = backend.Submissions();
            const std::uint64_t bytesBefore = backend.DataBytes();
            std::uint64_t sent = 0;
            for (std::uint64_t off = 0; off < kFileSize; off += kChunk) {
                quor::fs::ArgBlock args {};
                args.hostFileHandle = 1;
                args.offset = off;
                args.size = kChunk;
                std::vector<unsigned char> req(200);
                const std::size_t n = quor::fs::BuildRequest(req.data(), req.size(), quor::fs::FUSE_READ, off + 1, args,
                                                             "/b/big.bin");
                if (!client.Peer().SendPacket(req.data(), n)) {
                    return false;
                }
                ++sent;
            }
            while (backend.Submissions() < before + sent) {
                std::this_thread::yield();
            }
            return backend.DataBytes() - bytesBefore == kFileSize;
        };
        // Baseline: pread + write of the same chunks, one device answer each.
        const auto baseline = [&] {
            for (std::uint64_t off = 0; off < kFileSize; off += kChunk) {
                const ssize_t got = ::pread(file, buf.data() + 64, kChunk, static_cast<off_t>(off));
                if (got < 0) {
                    return false;
                }
                const std::uint32_t total = 64 + static_cast<std::uint32_t>(got);
                const std::uint32_t op = 2048;
                std::memset(buf.data(), 0, 64);
                std::memcpy(buf.data(), &total, 4);
                std::memcpy(buf.data() + 4, &op, 4);
                quor::fs::WriteReplyHeader(buf.data() + 40, quor::fs::FUSE_READ, off + 1, 0,
                                           static_cast<std::uint32_t>(got));
                unsigned char answer[16];
                if (!SendExact(raw, buf.data(), total) || !ReadExact(raw, answer, sizeof answer)) {
                    return false;
                }
            }
            return true;
        };
        quorbench::Rounds rounds;
        const bool failed = !rounds.Time(kRounds, ours, baseline);
        ::close(file);
        ::close(raw);
        client.Close();
        if (failed) {
            std::fprintf(stderr, "a READ round failed\n");
        } else {
            rounds.Print("server READs", "raw pread+write", "MiB/s", static_cast<double>(kFileSize) / (1 << 20),
                         "16 MiB", "read_throughput");
            status = 0;
        }
    }
    backend.Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
