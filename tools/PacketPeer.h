// The host's end of the file-share port: answers the guest's state requests as the
// host's file-share client does, sends request packets and reads the guest's replies.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/HostPort.h"
#include "shared/lib/PacketHeader.h"
#include "shared/lib/PortState.h"
#include "fileshare/src/WireFormat.h"

namespace quorhost {

class PacketPeer {
public:
    bool Connect(std::uint32_t hostPortIndex, int waitMs = 5000) { return port_.Connect(hostPortIndex, waitMs); }
    void Close() { port_.Close(); }
    HostPort& Port() { return port_; }

    // The state the host answers with. By default it follows the guest: it becomes
    // Ready when the guest asks in Ready, Connected when the guest asks in Connected.
    void SetFollowGuest(bool follow) { followGuest_ = follow; }
    void SetHostState(quor::PortState s) { hostState_ = s; }
    quor::PortState HostState() const { return hostState_; }
    std::int32_t GuestState() const { return guestState_; }

    // Answers the guest's get-state requests until both ends are Connected.
    bool AwaitConnected(int timeoutMs);
    bool SendControl(std::uint32_t opcode, std::uint32_t state);
    bool SendPacket(const void* bytes, std::size_t size) { return port_.SendAll(bytes, size); }
    // Reads the next reply; control packets met on the way are answered.
    bool RecvReply(quor::fs::ReplyHeader& header, std::vector<unsigned char>& payload, int timeoutMs);
    // Handles one control packet whose 32 bytes are in `packet`.
    bool HandleControl(const quor::PacketHeader& packet);

private:
    HostPort port_;
    bool followGuest_ = true;
    quor::PortState hostState_ = quor::StateReady;
    std::int32_t guestState_ = quor::StateUnknown;
};

}  // namespace quorhost
