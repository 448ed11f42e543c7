// The port against the simulated virtio-serial driver (Unix sockets).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tools/HostPort.h"
#include "shared/lib/VioSAPI.h"
#include "tests/support/SimMachineFixture.h"

using namespace std::chrono_literals;
using quor::VioSAPI;

namespace {

using SimMachine = quortest::SimMachineTest;

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace

TEST_F(SimMachine, OpenFindsTheWantedIndexOnly)
{
    quortest::LogTail tail;
    VioSAPI port;
    ASSERT_TRUE(port.Open(4));
    EXPECT_TRUE(tail.Contains("Found virtio serial device with host port idx: 4"));
    EXPECT_TRUE(std::filesystem::exists(sim_.Path() / "vport4"));
    EXPECT_FALSE(std::filesystem::exists(sim_.Path() / "vport3"));  // opened, asked, closed again
    EXPECT_EQ(port.HostPortIndex(), 4U);

    quortest::LogTail again;
    EXPECT_TRUE(port.Open(4));
    EXPECT_TRUE(again.Contains("[W]"));
    EXPECT_TRUE(again.Contains("VioSAPI already initialised!"));
    EXPECT_FALSE(again.Contains("Found virtio serial device"));
}

TEST_F(SimMachine, OpenRefusals)
{
    struct Case {
        std::vector<std::uint32_t> ports;
        std::uint32_t index;
        const char* line;
    };
    const Case cases[] = {
        {{3, 4}, 32, "hostPortIdx out of range: 32"},
        {{}, 3, "Cannot get port handle port: 3"},
        {{4, 5}, 3, "Cannot get port handle port: 3"},
    };
    for (const Case& c : cases) {
        quor::platform::sim::SimConfig config;
        config.serialPorts = c.ports;
        quortest::FreshSimMachine machine(config);
        quortest::LogTail tail;
        VioSAPI port;
        EXPECT_FALSE(port.Open(c.index)) << c.line;
        EXPECT_FALSE(port.IsOpened());
        EXPECT_TRUE(tail.Contains(c.line)) << tail.Since();
    }
}

TEST_F(SimMachine, SecondOpenerOfTheSamePortIsRefused)
{
    VioSAPI first;
    ASSERT_TRUE(first.Open(3));
    VioSAPI second;
    EXPECT_FALSE(second.Open(3));  // opened without sharing
}

TEST_F(SimMachine, TimedReadWithoutDataTimesOutAndKeepsLength)
{
    VioSAPI port;
    ASSERT_TRUE(port.Open(3));
    quorhost::HostPort host;
    ASSERT_TRUE(host.Connect(3));
    unsigned char buf[16];
    std::uint32_t len = sizeof buf;
    const auto start = Clock::now();
    EXPECT_EQ(port.TimedRead(buf, len, 150), quor::PortTimeout);
    EXPECT_GE(MsSince(start), 140);
    EXPECT_EQ(len, sizeof buf);
}

TEST_F(SimMachine, TimedWriteWithoutHostIsDisconnected)
{
    VioSAPI port;
    ASSERT_TRUE(port.Open(3));
    quortest::LogTail tail;
    const char msg[] = "nobody";
    std::uint32_t len = sizeof msg;
    EXPECT_EQ(port.TimedWrite(msg, len, 500), quor::PortDisconnected);
    EXPECT_EQ(len, sizeof msg);
    EXPECT_TRUE(tail.Contains("[E]"));
    EXPECT_TRUE(tail.Contains("Timed write to vioserial port: 3 in disconnected state"));
    // The untimed write fails too, through its wait.
    quortest::LogTail tail2;
    EXPECT_FALSE(port.Write(msg, len));
    EXPECT_TRUE(tail2.Contains("Failed to GetOverlappedResult with error: 554"));
}

TEST_F(SimMachine, BytesFlowBothWaysAndSurviveAReconnect)
{
    VioSAPI port;
    ASSERT_TRUE(port.Open(3));
    quortest::PortStatusWatch status;
    for (int round = 0; round < 2; ++round) {
        quorhost::HostPort host;
        ASSERT_TRUE(host.Connect(3));
        const std::string out = "guest to host " + std::to_string(round);
        std::uint32_t len = static_cast<std::uint32_t>(out.size());
        // The driver takes the host's connection asynchronously: write once it has.
        ASSERT_TRUE(status.WaitFor(3, 1, round + 1));
        ASSERT_EQ(port.TimedWrite(out.data(), len, 1000), quor::PortOk);
        EXPECT_EQ(len, out.size());
        std::string got(out.size(), '\0');
        ASSERT_TRUE(host.RecvAll(got.data(), got.size()));
        EXPECT_EQ(got, out);

        const std::string in = "host to guest, a bit longer " + std::to_string(round);
        ASSERT_TRUE(host.SendAll(in.data(), in.size()));
        std::string buf(in.size(), '\0');
        ASSERT_EQ(port.ReadFull(buf.data(), static_cast<std::uint32_t>(buf.size()), 2000), quor::PortOk);
        EXPECT_EQ(buf, in);
        host.Close();
    }
}

TEST_F(SimMachine, DataSentBeforeTheHostClosedIsStillRead)
{
    VioSAPI port;
    ASSERT_TRUE(port.Open(3));
    {
        quorhost::HostPort host;
        ASSERT_TRUE(host.Connect(3));
        ASSERT_TRUE(host.SendAll("last words", 10));
    }
    char buf[10];
    ASSERT_EQ(port.ReadFull(buf, 10, 2000), quor::PortOk);
    EXPECT_EQ(std::string(buf, 10), "last words");
}

TEST_F(SimMachine, CancelAndPurge)
{
    VioSAPI port;
    ASSERT_TRUE(port.Open(3));
    EXPECT_TRUE(port.CancelAndPurge());  // nothing pending counts as success

    quorhost::HostPort host;
    ASSERT_TRUE(host.Connect(3));
    quor::PortStatus status = quor::PortOk;
    std::uint32_t len = 64;
    std::atomic<bool> returned {false};
    std::thread reader([&] {
        unsigned char buf[64];
        status = port.TimedRead(buf, len, 60000);
        returned = true;
    });
    // Cancelling before the read is pending finds nothing; cancel until it has ended the read,
    // which it does at once (a read that ran into its minute would report a time-out).
    while (!returned) {
        EXPECT_TRUE(port.CancelAndPurge());
        std::this_thread::yield();
    }
    reader.join();
    EXPECT_EQ(status, quor::PortError);
    EXPECT_EQ(len, 64U);
    // The port stays usable.
    ASSERT_TRUE(host.SendAll("x", 1));
    char c = 0;
    EXPECT_EQ(port.ReadFull(&c, 1, 2000), quor::PortOk);
    EXPECT_EQ(c, 'x');
}
