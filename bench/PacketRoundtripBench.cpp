// Packet round trips per second between the guest's port layer and the host peer over
// the simulated virtio-serial socket, against a raw Unix-socket ping-pong of the same
// sizes (32-byte header + 64-byte payload each way).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "HostPort.h"
#include "PacketHeader.h"
#include "RatioMain.h"
#include "VioSAPI.h"

namespace {

constexpr std::size_t kPacket = 96;

std::vector<unsigned char> MakePacket()
{
    std::vector<unsigned char> p(kPacket, 0x5A);
    quor::PacketHeader h {};
    h.magic = 0x51534647;
    h.length = kPacket - sizeof h;
    std::memcpy(p.data(), &h, sizeof h);
    return p;
}

bool ReadExact(int fd, unsigned char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

void BM_PortPacketRoundTrip(benchmark::State& state)
{
    const auto dir = std::filesystem::temp_directory_path() / ("quor-bench-sim-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ::setenv("QUOR_SIM_DIR", dir.c_str(), 1);
    quor::VioSAPI guest;
    if (!guest.Open(4)) {
        state.SkipWithError("cannot open the simulated port");
        return;
    }
    quorhost::HostPort host;
    host.Connect(4);
    const auto packet = MakePacket();
    std::atomic<bool> done{false};
    std::thread echo([&] {
        unsigned char buf[kPacket];
        while (host.RecvAll(buf, kPacket, 2000) && host.SendAll(buf, kPacket)) {
        }
        done = true;
    });
    // Wait until the simulated driver has the host's connection.
    for (int i = 0; i < 500; ++i) {
        std::uint32_t len = 0;
        if (guest.TimedWrite("", len, 10) == quor::PortOk) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    guest.SetOwnState(quor::StateConnected);
    guest.SetPeerState(quor::StateConnected);
    std::vector<unsigned char> buffer(quor::PacketHeader::kBufferSize);
    for (auto _ : state) {
        if (guest.SendPacket(packet.data(), kPacket) != quor::PortOk ||
            guest.RecvPacket(buffer.data()) != quor::PortOk) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    host.Close();
    ::shutdown(host.Fd(), SHUT_RDWR);
    echo.join();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void BM_RawSocketRoundTrip(benchmark::State& state)
{
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([fd = sv[1]] {
        unsigned char buf[kPacket];
        while (ReadExact(fd, buf, kPacket) && ::send(fd, buf, kPacket, MSG_NOSIGNAL) == static_cast<ssize_t>(kPacket)) {
        }
    });
    const auto packet = MakePacket();
    unsigned char buf[kPacket];
    for (auto _ : state) {
        if (::send(sv[0], packet.data(), kPacket, MSG_NOSIGNAL) != static_cast<ssize_t>(kPacket) ||
            !ReadExact(sv[0], buf, 32) || !ReadExact(sv[0], buf + 32, kPacket - 32)) {
            state.SkipWithError("raw round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
}

BENCHMARK(BM_PortPacketRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_RawSocketRoundTrip)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    return quorbench::RunWithRatio(argc, argv, "packet_roundtrip", "BM_PortPacketRoundTrip", "BM_RawSocketRoundTrip");
}
