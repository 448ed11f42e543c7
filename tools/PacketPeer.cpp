#include "tools/PacketPeer.h"

#include <chrono>
#include <cstring>

namespace quorhost {

namespace {
int LeftMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
}  // namespace

bool PacketPeer::SendControl(std::uint32_t opcode, std::uint32_t state)
{
    quor::PacketHeader h {};
    h.magic = quor::PacketHeader::kControlMagic;
    h.opcode = opcode;
    h.state = state;
    return port_.SendAll(&h, sizeof h);
}

bool PacketPeer::HandleControl(const quor::PacketHeader& packet)
{
    guestState_ = static_cast<std::int32_t>(packet.state);
    if (packet.opcode != quor::PacketHeader::kOpGetState) {
        return true;  // an announcement: nothing to answer
    }
    if (followGuest_ && (packet.state == quor::StateReady || packet.state == quor::StateConnected)) {
        hostState_ = static_cast<quor::PortState>(packet.state);
    }
    return SendControl(quor::PacketHeader::kOpReportState, static_cast<std::uint32_t>(hostState_));
}

bool PacketPeer::AwaitConnected(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!(guestState_ == quor::StateConnected && hostState_ == quor::StateConnected)) {
        quor::PacketHeader h {};
        if (!port_.RecvAll(&h, sizeof h, LeftMs(deadline))) {
            return false;
        }
        if (h.magic != quor::PacketHeader::kControlMagic || !HandleControl(h)) {
            return false;
        }
    }
    return true;
}

bool PacketPeer::RecvReply(quor::fs::ReplyHeader& header, std::vector<unsigned char>& payload, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint32_t magic = 0;
        if (!port_.RecvAll(&magic, sizeof magic, LeftMs(deadline))) {
            return false;
        }
        if (magic == quor::PacketHeader::kControlMagic) {
            quor::PacketHeader h {};
            h.magic = magic;
            if (!port_.RecvAll(reinterpret_cast<unsigned char*>(&h) + 4, sizeof h - 4, LeftMs(deadline)) ||
                !HandleControl(h)) {
                return false;
            }
            continue;
        }
        if (magic != quor::fs::kReplyMagic) {
            return false;
        }
        header.magic = magic;
        if (!port_.RecvAll(reinterpret_cast<unsigned char*>(&header) + 4, sizeof header - 4, LeftMs(deadline))) {
            return false;
        }
        if (header.length > quor::fs::kReplyPayloadCapacity) {
            return false;
        }
        payload.resize(header.length);
        return header.length == 0 || port_.RecvAll(payload.data(), payload.size(), LeftMs(deadline));
    }
}

}  // namespace quorhost
