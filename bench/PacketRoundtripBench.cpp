// Packet round trips per second between the guest's port layer and the host peer over
// the simulated virtio-serial socket, against a raw Unix-socket ping-pong of the same
// sizes (32-byte header + 64-byte payload each way). The two are timed in alternating
// rounds and the median of the rounds' ratios is reported, so that a change of machine
// load during the run favours neither side.
// All threads stay on one processor: see PinToOneProcessor in bench/BenchIo.h.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/HostPort.h"
#include "shared/lib/PacketHeader.h"
#include "shared/lib/VioSAPI.h"
#include "shared/lib/platform/posix/SimMachine.h"

#include "bench/BenchIo.h"

namespace {

using quorbench::ReadExact;
constexpr std::size_t kPacket = 96;
constexpr int kTripsPerRound = 1000;
constexpr int kRounds = 21;

std::vector<unsigned char> MakePacket()
{
    std::vector<unsigned char> p(kPacket, 0x5A);
    quor::PacketHeader h {};
    h.magic = 0x51534647;
    h.length = kPacket - sizeof h;
    std::memcpy(p.data(), &h, sizeof h);
    return p;
}

}  // namespace

int main()
{
    if (!quorbench::PinToOneProcessor()) {
        std::fprintf(stderr, "cannot keep the benchmark on one processor; the ratio may vary from run to run\n");
    }
    const auto dir = std::filesystem::temp_directory_path() / ("quor-bench-sim-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    quor::platform::sim::SimConfig machine;
    machine.dir = dir;
    quor::platform::sim::SimMachine::Get().Reset(machine);
    const auto packet = MakePacket();

    // Ours: the guest's port with its packet layer, the host peer echoing every packet.
    quor::VioSAPI guest;
    if (!guest.Open(4)) {
        std::fprintf(stderr, "cannot open the simulated port\n");
        return 1;
    }
    quorhost::HostPort host;
    if (!host.Connect(4)) {
        return 1;
    }
    std::thread hostEcho([&] {
        unsigned char buf[kPacket];
        while (host.RecvAll(buf, kPacket, 5000) && host.SendAll(buf, kPacket)) {
        }
    });
    for (int i = 0; i < 500; ++i) {  // until the simulated driver has the host's connection
        std::uint32_t len = 0;
        if (guest.TimedWrite("", len, 10) == quor::PortOk) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    guest.SetOwnState(quor::StateConnected);
    guest.SetPeerState(quor::StateConnected);
    std::vector<unsigned char> buffer(quor::PacketHeader::kBufferSize);

    // Baseline: a socket pair, one thread echoing.
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        return 1;
    }
    std::thread rawEcho([fd = sv[1]] {
        unsigned char buf[kPacket];
        while (ReadExact(fd, buf, kPacket) && ::send(fd, buf, kPacket, MSG_NOSIGNAL) == static_cast<ssize_t>(kPacket)) {
        }
    });
    unsigned char raw[kPacket];

    const auto ours = [&] {
        for (int i = 0; i < kTripsPerRound; ++i) {
            if (guest.SendPacket(packet.data(), kPacket) != quor::PortOk ||
                guest.RecvPacket(buffer.data()) != quor::PortOk) {
                return false;
            }
        }
        return true;
    };
    const auto baseline = [&] {
        for (int i = 0; i < kTripsPerRound; ++i) {
            if (::send(sv[0], packet.data(), kPacket, MSG_NOSIGNAL) != static_cast<ssize_t>(kPacket) ||
                !ReadExact(sv[0], raw, 32) || !ReadExact(sv[0], raw + 32, kPacket - 32)) {
                return false;
            }
        }
        return true;
    };
    quorbench::Rounds rounds;
    const bool failed = !rounds.Time(kRounds, ours, baseline);
    ::shutdown(sv[0], SHUT_RDWR);
    rawEcho.join();
    ::close(sv[0]);
    ::close(sv[1]);
    ::shutdown(host.Fd(), SHUT_RDWR);
    hostEcho.join();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (failed) {
        std::fprintf(stderr, "a round trip failed\n");
        return 1;
    }
    rounds.Print("port packets", "raw socket", "round trips/s", kTripsPerRound,
                 (std::to_string(kTripsPerRound) + " round trips").c_str(), "packet_roundtrip");
    return 0;
}
