// The packet and peer-state layer between a guest port and the host peer, over the
// simulated virtio-serial driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "tools/PacketPeer.h"
#include "shared/lib/Format.h"
#include "shared/lib/VioSAPI.h"
#include "tests/support/SimMachineFixture.h"

using namespace std::chrono_literals;
using quor::PacketHeader;
using quor::VioSAPI;

namespace {

class PacketLink : public quortest::SimMachineTest {
protected:
    void SetUp() override
    {
        quortest::PortStatusWatch status;
        ASSERT_TRUE(guest_.Open(4));
        ASSERT_TRUE(host_.Connect(4));
        // The simulated driver has taken the host's connection once it says so.
        ASSERT_TRUE(status.WaitFor(4, 1));
    }

    static PacketHeader Control(std::uint32_t opcode, std::uint32_t state)
    {
        PacketHeader h {};
        h.magic = PacketHeader::kControlMagic;
        h.opcode = opcode;
        h.state = state;
        return h;
    }
    void Connect()
    {
        auto hostSide = std::async(std::launch::async, [this] { return host_.AwaitConnected(5000); });
        guest_.SetOwnState(quor::StateReady);
        guest_.SetPeerState(quor::StateUnknown);
        ASSERT_EQ(guest_.GetPeerState(), quor::PortOk);
        ASSERT_EQ(guest_.PeerState(), quor::StateReady);
        guest_.SetOwnState(quor::StateConnected);
        ASSERT_EQ(guest_.GetPeerState(), quor::PortOk);
        ASSERT_EQ(guest_.PeerState(), quor::StateConnected);
        ASSERT_TRUE(hostSide.get());
    }
    bool HostRecvControl(PacketHeader& h) { return host_.Port().RecvAll(&h, sizeof h, 3000); }

    VioSAPI guest_;
    quorhost::PacketPeer host_;
};

std::vector<unsigned char> DataPacket(std::uint32_t length, unsigned char fill)
{
    std::vector<unsigned char> p(sizeof(PacketHeader) + length, fill);
    PacketHeader h {};
    h.magic = 0x51534647;
    h.length = length;
    h.opcode = 1;
    std::memcpy(p.data(), &h, sizeof h);
    return p;
}

}  // namespace

TEST_F(PacketLink, HandshakeBringsBothEndsToConnected)
{
    Connect();
    EXPECT_EQ(guest_.OwnState(), quor::StateConnected);
    EXPECT_EQ(host_.HostState(), quor::StateConnected);
    EXPECT_EQ(host_.GuestState(), quor::StateConnected);
}

TEST_F(PacketLink, ControlPacketsDuringAReceive)
{
    Connect();
    std::vector<unsigned char> buffer(PacketHeader::kBufferSize);

    // Peer asks in Connected: answered, the receive goes on and gets the data packet.
    auto recv = std::async(std::launch::async, [&] { return guest_.RecvPacket(buffer.data()); });
    const PacketHeader ask = Control(PacketHeader::kOpGetState, quor::StateConnected);
    ASSERT_TRUE(host_.SendPacket(&ask, sizeof ask));
    PacketHeader answer {};
    ASSERT_TRUE(HostRecvControl(answer));
    EXPECT_EQ(answer.magic, PacketHeader::kControlMagic);
    EXPECT_EQ(answer.opcode, PacketHeader::kOpReportState);
    EXPECT_EQ(answer.state, static_cast<std::uint32_t>(quor::StateConnected));
    const auto packet = DataPacket(64, 0xAB);
    ASSERT_TRUE(host_.SendPacket(packet.data(), packet.size()));
    EXPECT_EQ(recv.get(), quor::PortOk);
    EXPECT_EQ(std::memcmp(buffer.data(), packet.data(), packet.size()), 0);

    // Peer announces Closing through a request: answered, the receive ends with 1.
    auto recv2 = std::async(std::launch::async, [&] { return guest_.RecvPacket(buffer.data()); });
    const PacketHeader closing = Control(PacketHeader::kOpGetState, quor::StateClosing);
    ASSERT_TRUE(host_.SendPacket(&closing, sizeof closing));
    ASSERT_TRUE(HostRecvControl(answer));
    EXPECT_EQ(recv2.get(), quor::PortError);
    EXPECT_EQ(guest_.PeerState(), quor::StateClosing);
}

TEST_F(PacketLink, ReportStateDuringAReceiveBreaksTheLink)
{
    Connect();
    std::vector<unsigned char> buffer(PacketHeader::kBufferSize);
    quortest::LogTail tail;
    const PacketHeader report = Control(PacketHeader::kOpReportState, quor::StateConnected);
    ASSERT_TRUE(host_.SendPacket(&report, sizeof report));
    EXPECT_EQ(guest_.RecvPacket(buffer.data()), quor::PortProtocolError);
    EXPECT_EQ(guest_.OwnState(), quor::StateBroken);
    EXPECT_TRUE(tail.Contains("Peer state invalide opcode 2"));
    EXPECT_TRUE(tail.Contains("Failed to connect"));
    // A broken peer does the same.
    guest_.SetOwnState(quor::StateConnected);
    const PacketHeader broken = Control(PacketHeader::kOpGetState, quor::StateBroken);
    ASSERT_TRUE(host_.SendPacket(&broken, sizeof broken));
    quortest::LogTail tail2;
    EXPECT_EQ(guest_.RecvPacket(buffer.data()), quor::PortProtocolError);
    EXPECT_TRUE(tail2.Contains("Get broken state."));
}

TEST_F(PacketLink, PayloadLimitAndEmptyPackets)
{
    Connect();
    std::vector<unsigned char> buffer(PacketHeader::kBufferSize);
    struct Case {
        std::uint32_t length;
        quor::PortStatus expected;
    };
    const Case cases[] = {{0, quor::PortOk}, {1, quor::PortOk}, {PacketHeader::kMaxPayload, quor::PortOk}};
    for (const Case& c : cases) {
        const auto packet = DataPacket(c.length, static_cast<unsigned char>(c.length));
        auto sender = std::async(std::launch::async, [&] { return host_.SendPacket(packet.data(), packet.size()); });
        EXPECT_EQ(guest_.RecvPacket(buffer.data()), c.expected) << c.length;
        EXPECT_TRUE(sender.get());
        EXPECT_EQ(std::memcmp(buffer.data(), packet.data(), packet.size()), 0) << c.length;
    }
    // One byte more is refused before its payload is read: the payload stays in the stream.
    quortest::LogTail tail;
    auto packet = DataPacket(PacketHeader::kMaxPayload + 1, 0x11);
    packet[sizeof(PacketHeader)] = 0x77;
    auto sender = std::async(std::launch::async, [&] { return host_.SendPacket(packet.data(), packet.size()); });
    EXPECT_EQ(guest_.RecvPacket(buffer.data()), quor::PortError);
    EXPECT_TRUE(tail.Contains("Recv buffer left size 2097120 too small to recv packet len 2097121"));
    unsigned char first = 0;
    EXPECT_EQ(guest_.ReadFull(&first, 1, 2000), quor::PortOk);
    EXPECT_EQ(first, 0x77);
    std::vector<unsigned char> rest(PacketHeader::kMaxPayload);
    EXPECT_EQ(guest_.ReadFull(rest.data(), static_cast<std::uint32_t>(rest.size()), 2000), quor::PortOk);
    EXPECT_TRUE(sender.get());
}

TEST_F(PacketLink, ReceiveAndSendNeedConnectedStates)
{
    std::vector<unsigned char> buffer(PacketHeader::kBufferSize);
    struct Case {
        quor::PortState own;
        quor::PortState peer;
        bool canSend;
        bool canRecv;
    };
    const Case cases[] = {
        {quor::StateConnected, quor::StateUnknown, true, false},
        {quor::StateReady, quor::StateConnected, true, false},
        {quor::StateReady, quor::StateReady, false, false},
    };
    for (const Case& c : cases) {
        guest_.SetOwnState(c.own);
        guest_.SetPeerState(c.peer);
        quortest::LogTail tail;
        const auto packet = DataPacket(8, 1);
        EXPECT_EQ(guest_.SendPacket(packet.data(), static_cast<std::uint32_t>(packet.size())) == quor::PortOk,
                  c.canSend);
        if (!c.canSend) {
            EXPECT_TRUE(tail.Contains(quor::format("Failed to send packet, state {}, peer state {}",
                                                   static_cast<int>(c.own), static_cast<int>(c.peer))));
        } else {
            std::vector<unsigned char> got(packet.size());
            ASSERT_TRUE(host_.Port().RecvAll(got.data(), got.size()));
            EXPECT_EQ(got, packet);
        }
        EXPECT_EQ(guest_.RecvPacket(buffer.data()), quor::PortError);
    }
}

TEST_F(PacketLink, GetPeerStateFailures)
{
    // Silence: 4 after about a second, peer state unknown.
    {
        guest_.SetPeerState(quor::StateReady);
        quortest::LogTail tail;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(guest_.GetPeerState(), quor::PortTimeout);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);
        EXPECT_EQ(guest_.PeerState(), quor::StateUnknown);
        EXPECT_TRUE(tail.Contains("Cannot get state from peer."));
        PacketHeader request {};
        ASSERT_TRUE(HostRecvControl(request));
        EXPECT_EQ(request.opcode, PacketHeader::kOpGetState);
    }
    // Two wrong answers: the port is drained in between, then the peer is broken.
    {
        auto hostSide = std::async(std::launch::async, [this] {
            int asked = 0;
            for (int i = 0; i < 2; ++i) {
                PacketHeader request {};
                if (!HostRecvControl(request) || request.opcode != PacketHeader::kOpGetState) {
                    return asked;
                }
                ++asked;
                const PacketHeader wrong = Control(PacketHeader::kOpReportState, 7);
                host_.SendPacket(&wrong, sizeof wrong);
                host_.SendPacket("junk", 4);  // drained before the second request
            }
            return asked;
        });
        EXPECT_EQ(guest_.GetPeerState(), quor::PortProtocolError);
        EXPECT_EQ(guest_.PeerState(), quor::StateBroken);
        EXPECT_EQ(hostSide.get(), 2);
    }
}

TEST_F(PacketLink, AWrongAnswerIsDrainedAndTheSecondRequestsAnswerCounts)
{
    // Each row: what the host answers to the first request (wrong), the junk after it, and
    // the state it reports to the second request.
    struct Case {
        std::uint32_t wrongOpcode;
        std::uint32_t wrongState;
        std::size_t junk;
        std::uint32_t state;
    };
    const Case cases[] = {
        {PacketHeader::kOpReportState, 7, 4, quor::StateReady},
        {PacketHeader::kOpGetState, 2, 0, quor::StateConnected},
        {PacketHeader::kOpReportState, 5, 300, quor::StateClosing},  // more junk than one drain piece
    };
    for (const Case& c : cases) {
        auto hostSide = std::async(std::launch::async, [&] {
            PacketHeader request {};
            if (!HostRecvControl(request) || request.opcode != PacketHeader::kOpGetState) {
                return 0;
            }
            const PacketHeader wrong = Control(c.wrongOpcode, c.wrongState);
            host_.SendPacket(&wrong, sizeof wrong);
            if (c.junk > 0) {
                const std::vector<unsigned char> junk(c.junk, 0xEE);
                host_.SendPacket(junk.data(), junk.size());
            }
            if (!HostRecvControl(request) || request.opcode != PacketHeader::kOpGetState) {
                return 1;
            }
            const PacketHeader right = Control(PacketHeader::kOpReportState, c.state);
            host_.SendPacket(&right, sizeof right);
            return 2;
        });
        EXPECT_EQ(guest_.GetPeerState(), quor::PortOk) << c.wrongState;
        EXPECT_EQ(guest_.PeerState(), c.state);
        EXPECT_EQ(hostSide.get(), 2);
    }
}
