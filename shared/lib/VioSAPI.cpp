#include "shared/lib/VioSAPI.h"

#include <bit>
#include <cstring>

#include "shared/log/Log.h"

namespace quor {

static_assert(std::endian::native == std::endian::little, "wire records are read in place");

namespace {
constexpr std::uint32_t kHeaderTimeoutMs = 1000;
constexpr std::uint32_t kPacketTimeoutMs = 3000;
constexpr std::uint32_t kDrainPiece = 256;
}  // namespace

VioSAPI::~VioSAPI()
{
    if (handle_ != platform::kInvalidPort) {
        platform::ClosePort(handle_);
        handle_ = platform::kInvalidPort;
    }
}

void VioSAPI::Close()
{
    if (handle_ != platform::kInvalidPort) {
        platform::ClosePort(handle_);
        handle_ = platform::kInvalidPort;
    }
    opened_ = 0;
    devicePath_.clear();
}

void VioSAPI::Adopt(platform::PortHandle handle, std::uint32_t hostPortIndex)
{
    handle_ = handle;
    hostPortIndex_ = hostPortIndex;
    opened_ = 1;
}

bool VioSAPI::Open(std::uint32_t hostPortIndex)
{
    if (opened_ != 0) {
        QLOG(kLogWarning, "VioSAPI already initialised!");
        return true;
    }
    if (hostPortIndex > kMaxHostPortIndex) {
        QLOG(kLogError, "hostPortIdx out of range: {}", hostPortIndex);
        return false;
    }
    if (!Discover(hostPortIndex)) {
        QLOG(kLogError, "Failed to open vioserial port: {}", hostPortIndex);
        return false;
    }
    if (handle_ == platform::kInvalidPort) {
        QLOG(kLogError, "Cannot get port handle port: {}", hostPortIndex);
        return false;
    }
    opened_ = 1;
    hostPortIndex_ = hostPortIndex;
    return true;
}

bool VioSAPI::Discover(std::uint32_t hostPortIndex)
{
    platform::DevInfoSet* set = platform::GetSerialPortClassDevs();
    if (set == nullptr) {
        QLOG(kLogError, "Cannot get class devices.");
        return false;
    }
    for (std::uint32_t i = 0; i < kInterfaceIndexes; ++i) {
        std::u16string path;
        const platform::InterfaceResult r = platform::GetSerialPortInterface(set, i, path);
        if (r == platform::InterfaceResult::Missing) {
            continue;
        }
        if (r == platform::InterfaceResult::DetailFailed) {
            QLOG(kLogError, "Cannot get device interface details.");
            continue;
        }
        const platform::PortHandle h = platform::OpenPortDevice(path);
        if (h == platform::kInvalidPort) {
            continue;
        }
        std::uint32_t index = 0;
        if (!platform::QueryHostPortIndex(h, index)) {
            QLOG(kLogError, "Virtio serial IOCTL_GET_INFORMATION failed {}", platform::LastError());
            platform::ClosePort(h);
            continue;
        }
        if (index == hostPortIndex) {
            QLOG(kLogInfo, "Found virtio serial device with host port idx: {}", hostPortIndex);
            handle_ = h;
            devicePath_ = path;
            break;
        }
        platform::ClosePort(h);
    }
    if (!platform::DestroyClassDevs(set)) {
        QLOG(kLogError, "SetupDiDestroyDeviceInfoList failed: {}", platform::LastError());
    }
    return true;
}

bool VioSAPI::Write(const void* buffer, std::uint32_t& length)
{
    platform::PortIo io;
    if (!io.MakeEvent()) {
        QLOG(kLogError, "Failed to create event for write to vioserial port: {}", hostPortIndex_);
        return false;
    }
    std::uint32_t done = 0;
    switch (io.Write(handle_, buffer, length, done)) {
    case platform::PortIo::Start::Completed:
        length = done;
        return true;
    case platform::PortIo::Start::Pending:
        if (io.Wait(done)) {
            length = done;
            return true;
        }
        QLOG(kLogError, "Failed to GetOverlappedResult with error: {}", io.Error());
        return false;
    case platform::PortIo::Start::Failed:
        break;
    }
    QLOG(kLogError, "Failed to write to vioserial port: {}", hostPortIndex_);
    return false;
}

PortStatus VioSAPI::TimedRead(void* buffer, std::uint32_t& length, std::uint32_t timeoutMs)
{
    // A read that asked for bytes and completed with none: the host side has gone. Taken
    // as a failure, so that no caller's loop waits for bytes that never come.
    const auto got = [&](std::uint32_t done) {
        if (done == 0 && length != 0) {
            QLOG(kLogError, "Read from vioserial port: {} completed with no data, the host side is closed",
                 hostPortIndex_);
            return PortError;
        }
        length = done;
        return PortOk;
    };
    platform::PortIo io;
    if (!io.MakeEvent()) {
        QLOG(kLogError, "Failed to create event for timed read of vioserial port: {}", hostPortIndex_);
        return PortError;
    }
    std::uint32_t done = 0;
    switch (io.Read(handle_, buffer, length, done)) {
    case platform::PortIo::Start::Completed:
        return got(done);
    case platform::PortIo::Start::Failed:
        QLOG(kLogError, "Failed to timed read from vioserial port: {}", hostPortIndex_);
        return PortError;
    case platform::PortIo::Start::Pending:
        break;
    }
    if (io.WaitFor(timeoutMs, done)) {
        return got(done);
    }
    const std::uint32_t error = io.Error();
    if (error == platform::kWaitTimeout) {
        // Data that arrived while the cancellation was on its way is kept, not dropped.
        if (io.CancelAndFinish(done)) {
            return got(done);
        }
        return PortTimeout;
    }
    QLOG(kLogError, "Failed of timed read from vioserial port: {}, error: {}", hostPortIndex_, error);
    return PortError;
}

PortStatus VioSAPI::ReadFull(void* buffer, std::uint32_t length, std::uint32_t timeoutMs)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t have = 0;
    do {
        std::uint32_t piece = length - have;
        const PortStatus s = TimedRead(bytes + have, piece, timeoutMs);
        if (s != PortOk) {
            return s;
        }
        have += piece;
    } while (have < length);
    return PortOk;
}

PortStatus VioSAPI::TimedWrite(const void* buffer, std::uint32_t& length, std::uint32_t timeoutMs)
{
    platform::PortIo io;
    if (!io.MakeEvent()) {
        QLOG(kLogError, "Failed to create event for write to vioserial port: {}", hostPortIndex_);
        return PortError;
    }
    std::uint32_t done = 0;
    switch (io.Write(handle_, buffer, length, done)) {
    case platform::PortIo::Start::Completed:
        length = done;
        return PortOk;
    case platform::PortIo::Start::Failed:
        QLOG(kLogError, "Failed to timed write to vioserial port: {}", hostPortIndex_);
        return PortError;
    case platform::PortIo::Start::Pending:
        break;
    }
    if (io.WaitFor(timeoutMs, done)) {
        length = done;
        return PortOk;
    }
    const std::uint32_t error = io.Error();
    if (error == platform::kWaitTimeout) {
        QLOG(kLogError, "Timed write to vioserial port: {} timeout", hostPortIndex_);
        if (io.CancelAndFinish(done)) {
            // The write went out while it was being cancelled: report what was sent.
            length = done;
            return PortOk;
        }
        return PortTimeout;
    }
    if (error == platform::kErrorCantWait) {
        QLOG(kLogError, "Timed write to vioserial port: {} in disconnected state", hostPortIndex_);
        (void)io.CancelAndFinish(done);
        return PortDisconnected;
    }
    QLOG(kLogError, "Failed of timed write to vioserial port: {}, error: {}", hostPortIndex_, error);
    return PortError;
}

bool VioSAPI::CancelAndPurge()
{
    if (!platform::CancelAllIo(handle_)) {
        const std::uint32_t error = platform::LastError();
        if (error != platform::kErrorNotFound) {
            QLOG(kLogError, "Failed to cancel vioserial port: {}, CancelIoEx error: {}", hostPortIndex_, error);
            return false;
        }
    }
    if (!platform::PurgePort(handle_)) {
        QLOG(kLogError, "Failed to purge vioserial port: {}, PurgeComm error: {}", hostPortIndex_,
             platform::LastError());
        return false;
    }
    return true;
}

// ---- packet and peer-state layer --------------------------------------------------------

PortStatus VioSAPI::WriteAll(const void* buffer, std::uint32_t size, std::uint32_t timeoutMs)
{
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t sent = 0;
    while (sent < size) {
        std::uint32_t piece = size - sent;
        const PortStatus s = TimedWrite(bytes + sent, piece, timeoutMs);
        if (s != PortOk) {
            return s;
        }
        sent += piece;
    }
    return PortOk;
}

PortStatus VioSAPI::SendHeader(std::uint32_t opcode)
{
    PacketHeader h {};
    h.magic = PacketHeader::kControlMagic;
    h.length = 0;
    h.opcode = opcode;
    h.state = static_cast<std::uint32_t>(ownState_);
    return WriteAll(&h, sizeof h, kHeaderTimeoutMs);
}

PortStatus VioSAPI::ReportState()
{
    const PortStatus s = SendHeader(PacketHeader::kOpReportState);
    if (s != PortOk) {
        QLOG(kLogError, "Failed to send request to report state.");
        return s;
    }
    return PortOk;
}

PortStatus VioSAPI::GetPeerState()
{
    for (int attempt = 0;; ++attempt) {
        PortStatus s = SendHeader(PacketHeader::kOpGetState);
        if (s != PortOk) {
            QLOG(kLogError, "Failed to send request to get peer state.");
            return s;
        }
        PacketHeader answer {};
        s = ReadFull(&answer, sizeof answer, kHeaderTimeoutMs);
        if (s != PortOk) {
            QLOG(kLogError, "Cannot get state from peer.");
            peerState_ = StateUnknown;
            return s;
        }
        if (answer.opcode == PacketHeader::kOpReportState && answer.state <= StateClosing) {
            peerState_ = static_cast<std::int32_t>(answer.state);
            return PortOk;
        }
        if (attempt == 1) {
            peerState_ = StateBroken;
            return PortProtocolError;
        }
        unsigned char junk[kDrainPiece];
        for (;;) {
            std::uint32_t n = sizeof junk;
            if (TimedRead(junk, n, kHeaderTimeoutMs) != PortOk) {
                break;
            }
        }
    }
}

PortStatus VioSAPI::HandleControlPacket(const PacketHeader* header)
{
    if (header == nullptr) {
        QLOG(kLogError, "Packet header is a null pointer.");
        return PortError;
    }
    if (header->opcode != PacketHeader::kOpGetState) {
        QLOG(kLogError, "Peer state invalide opcode {}", header->opcode);
        ownState_ = StateBroken;
        return PortProtocolError;
    }
    peerState_ = static_cast<std::int32_t>(header->state);
    if (peerState_ == StateBroken) {
        QLOG(kLogError, "Get broken state.");
        ownState_ = StateBroken;
        return PortProtocolError;
    }
    if (ReportState() != PortOk) {
        QLOG(kLogError, "Failed to report state.");
        ownState_ = StateBroken;
        return PortProtocolError;
    }
    return PortOk;
}

PortStatus VioSAPI::SendPacket(const void* buffer, std::uint32_t size)
{
    if (ownState_ != StateConnected && peerState_ != StateConnected) {
        QLOG(kLogError, "Failed to send packet, state {}, peer state {}", ownState_, peerState_);
        return PortError;
    }
    return WriteAll(buffer, size, kPacketTimeoutMs);
}

PortStatus VioSAPI::RecvPacket(unsigned char* buffer)
{
    for (;;) {
        if (ownState_ != StateConnected || peerState_ != StateConnected) {
            QLOG(kLogError, "Recv packet error: disconnected");
            return PortError;
        }
        PortStatus s = ReadFull(buffer, sizeof(PacketHeader), kPacketTimeoutMs);
        if (s != PortOk) {
            return s;
        }
        PacketHeader header;
        std::memcpy(&header, buffer, sizeof header);
        if (header.magic == PacketHeader::kControlMagic) {
            s = HandleControlPacket(&header);
            if (s != PortOk) {
                QLOG(kLogError, "Failed to connect");
                return s;
            }
            if (peerState_ != StateConnected) {
                return PortError;
            }
            continue;
        }
        if (header.length > PacketHeader::kMaxPayload) {
            QLOG(kLogError, "Recv buffer left size {} too small to recv packet len {}", PacketHeader::kMaxPayload,
                 header.length);
            return PortError;
        }
        if (header.length > 0) {
            s = ReadFull(buffer + sizeof(PacketHeader), header.length, kPacketTimeoutMs);
            if (s != PortOk) {
                QLOG(kLogError, "Failed to receive packet data.");
                return s;
            }
        }
        return PortOk;
    }
}

}  // namespace quor
