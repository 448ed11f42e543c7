// The host peer's TCP transport: QUOR_HOST_TCP's syntax, and a port and the virtio-fs back
// end over TCP behaving as over the simulation's Unix sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tools/HostPort.h"
#include "tools/HostTcp.h"
#include "tools/VirtioFsBackend.h"

namespace {

TEST(HostTcpMap, ParsesIndexesAndTheBackEndAndRefusesAnythingMalformed)
{
    struct Case {
        const char* text;
        bool ok;
        std::size_t ports;
        int fs;  // -1: none
    };
    const Case cases[] = {
        {"3=20001", true, 1, -1},
        {"3=20001,4=20002,fs=20003", true, 2, 20003},
        {"fs=1", true, 0, 1},
        {"31=65535", true, 1, -1},
        {"3=65536", false, 0, -1},  // one past the largest port
        {"3=0", false, 0, -1},
        {"", false, 0, -1},
        {"3=20001,", false, 0, -1},  // empty item
        {",3=20001", false, 0, -1},
        {"3", false, 0, -1},
        {"3=", false, 0, -1},
        {"=20001", false, 0, -1},
        {"x=20001", false, 0, -1},
        {"-3=20001", false, 0, -1},
        {"3=+1", false, 0, -1},
        {"3=20001,3=20002", false, 0, -1},  // named twice
        {"fs=1,fs=2", false, 0, -1},
        {"3 =20001", false, 0, -1},
    };
    for (const Case& c : cases) {
        quorhost::TcpMap map;
        map.ports[99] = 1;  // left alone on failure
        EXPECT_EQ(quorhost::TcpMap::Parse(c.text, map), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(map.ports.size(), c.ports) << c.text;
            EXPECT_EQ(map.fs ? *map.fs : -1, c.fs) << c.text;
        } else {
            EXPECT_EQ(map.ports.count(99), 1U) << c.text;
        }
    }
    quorhost::TcpMap map;
    ASSERT_TRUE(quorhost::TcpMap::Parse("4=20002,3=20001", map));
    EXPECT_EQ(map.ports.at(3), 20001);
    EXPECT_EQ(map.ports.at(4), 20002);
}

// A free TCP port of 127.0.0.1 (bound, then released).
std::uint16_t FreePort()
{
    const int fd = quorhost::ListenTcp(0, 1);
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST(HostTcp, APortConnectsOnceTheGuestSideListensAndCarriesBytesBothWays)
{
    const std::uint16_t port = FreePort();
    quorhost::HostPort host;
    int guest = -1;
    std::thread late([&] {
        // The guest side starts listening while the host is already retrying.
        const int listener = quorhost::ListenTcp(port, 1);
        guest = ::accept(listener, nullptr, nullptr);
        ::close(listener);
    });
    ASSERT_TRUE(host.ConnectTcp(port, 30000));
    late.join();
    ASSERT_GE(guest, 0);
    ASSERT_TRUE(host.SendAll("down", 4));
    char buffer[4];
    ASSERT_EQ(::recv(guest, buffer, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::memcmp(buffer, "down", 4), 0);
    ASSERT_EQ(::send(guest, "up", 2, 0), 2);
    ASSERT_TRUE(host.RecvAll(buffer, 2, 30000));
    EXPECT_EQ(std::memcmp(buffer, "up", 2), 0);
    ::close(guest);
    EXPECT_EQ(host.RecvSome(buffer, 1, 30000), -1) << "the guest side's end is the end of the stream";
}

TEST(HostTcp, NothingListeningFailsAfterTheWait)
{
    quorhost::HostPort host;
    EXPECT_FALSE(host.ConnectTcp(FreePort(), 50));
    EXPECT_FALSE(host.IsConnected());
}

TEST(HostTcp, TheVirtioFsBackEndAnswersRequestsOverTcpAndKeepsReadData)
{
    const std::uint16_t port = FreePort();
    quorhost::VirtioFsBackend backend;
    ASSERT_TRUE(backend.StartTcp(port));
    quorhost::HostPort device;  // the device's side: one connection, requests and answers
    ASSERT_TRUE(device.ConnectTcp(port, 30000));
    std::vector<unsigned char> request(quorhost::VirtioFsBackend::kReplyHead + 5, 0);
    const std::uint32_t total = static_cast<std::uint32_t>(request.size());
    const std::uint32_t opcode = quorhost::VirtioFsBackend::kFileShareReply;
    quor::fs::ReplyHeader reply{};
    reply.length = 5;
    reply.unique = 42;
    std::memcpy(request.data(), &total, 4);
    std::memcpy(request.data() + 4, &opcode, 4);
    std::memcpy(request.data() + quorhost::VirtioFsBackend::kRequestHead, &reply, sizeof reply);
    std::memcpy(request.data() + quorhost::VirtioFsBackend::kReplyHead, "hello", 5);
    ASSERT_TRUE(device.SendAll(request.data(), request.size()));
    unsigned char answer[16];
    ASSERT_TRUE(device.RecvAll(answer, sizeof answer, 30000));
    std::uint64_t unique = 0;
    std::memcpy(&unique, answer + 8, 8);
    EXPECT_EQ(unique, 42U);
    quor::fs::ReplyHeader header{};
    std::vector<unsigned char> data;
    ASSERT_TRUE(backend.TakeReply(42, header, data, 30000));
    EXPECT_EQ(std::string(data.begin(), data.end()), "hello");
    device.Close();
    backend.Stop();
}

}  // namespace
