#pragma once

#include <cstdint>
#include <string>

#include "shared/lib/PacketHeader.h"
#include "shared/lib/PortState.h"
#include "shared/lib/platform/SerialPort.h"

namespace quor {

enum PortStatus : int {
    PortOk = 0,
    PortError = 1,
    PortProtocolError = 2,
    PortTimeout = 4,
    PortDisconnected = 5,
};

// One virtio-serial port, found by its host-side index, with blocking and timed
// overlapped reads and writes, and the packet/peer-state layer of the file-share port.
class VioSAPI {
public:
    static constexpr std::uint32_t kMaxHostPortIndex = 31;
    static constexpr std::uint32_t kInterfaceIndexes = 32;

    VioSAPI() = default;
    ~VioSAPI();
    VioSAPI(const VioSAPI&) = delete;
    VioSAPI& operator=(const VioSAPI&) = delete;

    bool Open(std::uint32_t hostPortIndex);
    // Closes the handle and forgets the port, so that Open may find it again (after the
    // device went away and came back).
    void Close();
    // Takes over an already opened overlapped handle (a test stand-in for the port).
    void Adopt(platform::PortHandle handle, std::uint32_t hostPortIndex);

    bool Write(const void* buffer, std::uint32_t& length);
    PortStatus TimedRead(void* buffer, std::uint32_t& length, std::uint32_t timeoutMs);
    PortStatus ReadFull(void* buffer, std::uint32_t length, std::uint32_t timeoutMs);
    PortStatus TimedWrite(const void* buffer, std::uint32_t& length, std::uint32_t timeoutMs);
    bool CancelAndPurge();

    // Packet and peer-state layer.
    PortStatus ReportState();
    PortStatus GetPeerState();
    PortStatus HandleControlPacket(const PacketHeader* header);
    PortStatus RecvPacket(unsigned char* buffer);
    PortStatus SendPacket(const void* buffer, std::uint32_t size);

    bool IsOpened() const { return opened_ != 0; }
    platform::PortHandle Handle() const { return handle_; }
    std::uint32_t HostPortIndex() const { return hostPortIndex_; }
    // The interface path the port was opened by; empty while not opened.
    const std::u16string& DevicePath() const { return devicePath_; }
    PortState OwnState() const { return static_cast<PortState>(ownState_); }
    PortState PeerState() const { return static_cast<PortState>(peerState_); }
    void SetOwnState(PortState s) { ownState_ = s; }
    void SetPeerState(PortState s) { peerState_ = s; }

private:
    bool Discover(std::uint32_t hostPortIndex);
    PortStatus WriteAll(const void* buffer, std::uint32_t size, std::uint32_t timeoutMs);
    PortStatus SendHeader(std::uint32_t opcode);

    platform::PortHandle handle_ = platform::kInvalidPort;
    std::int32_t opened_ = 0;
    std::uint32_t hostPortIndex_ = 0xFFFFFFFF;
    std::int32_t ownState_ = StateReady;
    std::int32_t peerState_ = StateUnknown;
    std::u16string devicePath_;
};

}  // namespace quor
