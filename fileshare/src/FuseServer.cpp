#include "fileshare/src/FuseServer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "fileshare/src/FakeRoot.h"
#include "shared/log/Log.h"
#include "shared/lib/PacketHeader.h"
#include "fileshare/src/platform/FixedMemory.h"

namespace quor::fs {

namespace {

constexpr std::uint32_t kDrainPiece = 256;
constexpr std::uint64_t kFakeDirMode = 0x41ED;  // directory, 0755
constexpr std::uint64_t kFakeDirSize = 4096;

void SetError(unsigned char* reply, std::int32_t error)
{
    std::memcpy(reply + offsetof(ReplyHeader, error), &error, sizeof error);
}

void SetLength(unsigned char* reply, std::uint32_t length)
{
    std::memcpy(reply + offsetof(ReplyHeader, length), &length, sizeof length);
}

bool IsMutating(std::uint32_t opcode)
{
    switch (opcode) {
    case FUSE_WRITE:
    case FUSE_RENAME:
    case FUSE_UNLINK:
    case FUSE_TRUNCATE:
    case FUSE_MKDIR:
    case FUSE_RMDIR:
        return true;
    default:
        return false;
    }
}

}  // namespace

FuseServer::FuseServer(ServeTimings timings) : timings_(timings)
{
    shares_.max_load_factor(1.0f);
    shares_.rehash(8);
    shares_.emplace(".", ShareEntry{});
    shares_.emplace("..", ShareEntry{});
}

FuseServer::~FuseServer() { StopServing(); }

void FuseServer::Stop()
{
    if (started_ == 0) {
        return;
    }
    StopServing();
    port_.Close();
    localFs_.Stop();
    stop_ = 0;
    started_ = 0;
}

void FuseServer::StopServing()
{
    {
        std::lock_guard<std::mutex> g(pauseLock_);
        stop_ = 1;
    }
    pauseSignal_.notify_all();
    if (thread_.joinable()) {
        // Wake the serving thread out of whatever port operation it waits in.
        while (serving_.load()) {
            (void)platform::CancelAllIo(port_.Handle());
            std::unique_lock<std::mutex> l(pauseLock_);
            pauseSignal_.wait_for(l, std::chrono::milliseconds(20), [this] { return !serving_.load(); });
        }
        thread_.join();
    }
    std::uint8_t connected = Connected;
    if (conn_.compare_exchange_strong(connected, Disconnected)) {
        port_.SetOwnState(StateClosing);
        if (port_.GetPeerState() != PortOk && port_.PeerState() == StateBroken) {
            port_.SetOwnState(StateBroken);
        }
    }
}

bool FuseServer::Start(std::uint32_t portIndex)
{
    if (started_ != 0) {
        QLOG(kLogWarning, "Already start fuse server!");
        return true;
    }
    if (!localFs_.Init()) {
        QLOG(kLogError, "Failed to initialise localFS");
        return false;
    }
    if (!port_.IsOpened() && !port_.Open(portIndex)) {
        QLOG(kLogError, "Can't get virtio serial device port {}", portIndex);
        return false;
    }
    serving_ = true;
    thread_ = std::thread([this] { ServeLoop(); });
    started_ = 1;
    return true;
}

bool FuseServer::AddShareName(const std::string& name, const std::unordered_map<std::string, std::string>& files,
                              std::int64_t accessTime, bool hidden, bool readOnly)
{
    std::lock_guard<std::mutex> g(lock_);
    if (shares_.count(name) != 0) {
        QLOG(kLogError, "Cannot file list with share name {}, name is already in use.", name);
        return false;
    }
    ShareEntry& entry = shares_[name];
    entry.isVirtual = true;
    entry.accessTime = accessTime;
    entry.hidden = hidden;
    entry.readOnly = readOnly;
    for (const auto& [visible, local] : files) {
        entry.files.emplace(visible, local);
    }
    return true;
}

std::int32_t FuseServer::RemoveShareName(const std::string& name, bool force)
{
    std::lock_guard<std::mutex> g(lock_);
    const auto it = shares_.find(name);
    if (it == shares_.end()) {
        QLOG(kLogError, "Cannot remove share name {}, name doesn't exist.", name);
        return 2;
    }
    if (!force && it->second.isVirtual && it->second.hidden && localFs_.HasOpenFiles(name)) {
        return 1;
    }
    localFs_.CloseShare(name);
    shares_.erase(it);
    return 0;
}

bool FuseServer::GetShareAccessTime(const std::string& name, std::int64_t& accessTime)
{
    std::lock_guard<std::mutex> g(lock_);
    const auto it = shares_.find(name);
    if (it == shares_.end()) {
        QLOG(kLogError, "Cannot get access time of share name {}, name doesn't exist.", name);
        return false;
    }
    accessTime = it->second.accessTime;
    return true;
}

platform::PortHandle FuseServer::GetPortHandle() { return port_.Handle(); }

void FuseServer::OnPortStatus(bool hostOpen)
{
    std::uint8_t expected = hostOpen ? Connected : Disconnected;
    conn_.compare_exchange_strong(expected, hostOpen ? Disconnected : Connected);
}

void FuseServer::Pause(std::uint32_t ms)
{
    std::unique_lock<std::mutex> l(pauseLock_);
    pauseSignal_.wait_for(l, std::chrono::milliseconds(ms), [this] { return stop_.load() != 0; });
}

void FuseServer::ServeLoop()
{
    auto* request = static_cast<unsigned char*>(platform::AllocFixed(kBufferSize));
    if (request == nullptr) {
        QLOG(kLogError, "REQ LocalAlloc failed with error: {}", platform::LastError());
        serving_ = false;
        return;
    }
    auto* reply = static_cast<unsigned char*>(platform::AllocFixed(kBufferSize));
    if (reply == nullptr) {
        QLOG(kLogError, "RPL LocalAlloc failed with error: {}", platform::LastError());
        platform::FreeFixed(request);
        serving_ = false;
        return;
    }
    conn_ = Disconnected;
    while (stop_ == 0) {
        std::uint8_t expected = Disconnected;
        if (conn_.compare_exchange_strong(expected, Connecting)) {
            ConnectStep();
        }
        if (conn_ == Disconnected) {
            continue;
        }
        const int code = ReadRequest(request);
        if (code == PortOk) {
            RequestHeader header;
            std::memcpy(&header, request, sizeof header);
            if (HandleRequest(request, sizeof header + header.length, reply) && SendReply(reply) != 0) {
                conn_ = Disconnected;
            }
            continue;
        }
        if (code == PortTimeout) {
            // Nothing arrived within the receive time-out: the link stays as it is.
            receiveTimeouts_.fetch_add(1);
            continue;
        }
        if (stop_ != 0) {
            break;  // woken for shutdown
        }
        QLOG(kLogError, "Request read error: {}", code);
        if (code == kReadProtocolError) {
            (void)port_.CancelAndPurge();
            conn_ = Disconnected;
        } else if (code == PortProtocolError) {
            conn_ = Disconnected;
            stop_ = 1;
        } else {
            // The buffer holds no complete request, and the link has to be set up again.
            conn_ = Disconnected;
        }
    }
    platform::FreeFixed(reply);
    platform::FreeFixed(request);
    {
        std::lock_guard<std::mutex> g(pauseLock_);
        serving_ = false;
    }
    pauseSignal_.notify_all();
}

void FuseServer::ConnectStep()
{
    Pause(timings_.connectSleepMs);
    if (stop_ != 0) {
        conn_ = Disconnected;
        return;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        localFs_.CloseAll();
    }
    unsigned char scratch[kDrainPiece];
    for (;;) {
        std::uint32_t n = sizeof scratch;
        if (stop_ != 0 || port_.TimedRead(scratch, n, timings_.drainReadMs) != PortOk) {
            break;
        }
    }
    if (Handshake()) {
        QLOG(kLogInfo, "Fuse client connected");
        conn_ = Connected;
    } else if (stop_ != 0) {
        conn_ = Disconnected;
    }
}

bool FuseServer::Handshake()
{
    port_.SetOwnState(StateReady);
    port_.SetPeerState(StateUnknown);
    PortStatus s = port_.GetPeerState();
    if (s != PortOk) {
        if (s == PortError || port_.PeerState() == StateBroken) {
            port_.SetOwnState(StateBroken);
            stop_ = 1;
        } else {
            Pause(timings_.retrySleepMs);
        }
        return false;
    }
    if (port_.OwnState() != StateReady || port_.PeerState() != StateReady) {
        return false;
    }
    port_.SetOwnState(StateConnected);
    s = port_.GetPeerState();
    if (s != PortOk) {
        if (port_.PeerState() == StateBroken) {
            port_.SetOwnState(StateBroken);
            stop_ = 1;
        }
        return false;
    }
    return port_.OwnState() == StateConnected && port_.PeerState() == StateConnected;
}

int FuseServer::ReadRequest(unsigned char* request)
{
    // A magic slot still zero after a time-out means that nothing arrived; anything else
    // but a control packet's means that a packet was cut short and the stream lost its
    // framing.
    std::memset(request, 0, sizeof(std::uint32_t));
    const PortStatus s = port_.RecvPacket(request);
    RequestHeader header;
    std::memcpy(&header, request, sizeof header);
    if (s == PortTimeout) {
        return header.magic == 0 || header.magic == PacketHeader::kControlMagic ? PortTimeout : PortError;
    }
    if (s != PortOk) {
        return s;
    }
    if (header.magic != kRequestMagic) {
        QLOG(kLogError, "Protocol error: hdr magic {}", header.magic);
        return kReadProtocolError;
    }
    if (header.opcode - 1 > kMaxOpcode - 1) {
        QLOG(kLogError, "Protocol error: opcode {}", header.opcode);
        return kReadProtocolError;
    }
    if (header.length == 0) {
        QLOG(kLogError, "Protocol error: zero request length.");
        return kReadProtocolError;
    }
    return PortOk;
}

int FuseServer::SendReply(const unsigned char* reply)
{
    ReplyHeader header;
    std::memcpy(&header, reply, sizeof header);
    const PortStatus s = port_.SendPacket(reply, static_cast<std::uint32_t>(sizeof header + header.length));
    if (s != PortOk) {
        QLOG(kLogError, "Failed to send reply error: {}", static_cast<int>(s));
        return s;
    }
    return 0;
}

bool FuseServer::HandleRequest(const unsigned char* request, std::size_t received, unsigned char* reply)
{
    received = std::min(received, kBufferSize);
    RequestHeader header {};
    std::memcpy(&header, request, std::min(received, sizeof header));
    WriteReplyHeader(reply, header.opcode, header.unique, 0, 0);

    Request req {};
    const ParseResult parsed = ParseRequest(request, received, req);
    std::lock_guard<std::mutex> g(lock_);
    std::int32_t result = kErrFailure;
    bool readQueued = false;
    if (parsed != ParseResult::Ok) {
        QLOG(kLogError, "Malformed request, opcode {}, length {}", header.opcode, header.length);
    } else if (!FakeRoot::Resolve(shares_, req.path, shareName_, localPath_, isRoot_, isFake_, below_)) {
        QLOG(kLogError, "Wrong request path");
        result = kErrNoEntry;
    } else {
        ShareEntry* share = nullptr;
        if (!shareName_.empty()) {
            const auto it = shares_.find(shareName_);
            if (it != shares_.end()) {
                share = &it->second;
                share->accessTime = static_cast<std::int64_t>(std::time(nullptr));
            }
        }
        if (isFake_ != 0) {
            result = FakeDispatch(req, share, reply);
        } else if (share != nullptr) {
            result = RealDispatch(req, *share, reply, readQueued);
        }
    }
    SetError(reply, result);
    if (header.opcode != FUSE_READ || readQueued) {
        return header.opcode != FUSE_READ;
    }
    // Every READ gets its answer through the device, also one the backend never saw or
    // could not queue; only when the READ channel's queue is full (a stalled device) the
    // answer goes on the port instead.
    if (localFs_.QueueReadFailure(header.unique, result)) {
        return false;
    }
    SetLength(reply, 0);
    return true;
}

std::int32_t FuseServer::RealDispatch(const Request& req, ShareEntry& share, unsigned char* reply, bool& readQueued)
{
    const std::uint32_t opcode = req.header.opcode;
    if (IsMutating(opcode) && share.readOnly) {
        return kErrAccess;
    }
    switch (opcode) {
    case FUSE_GETATTR:
        return localFs_.GetAttr(LocalPath(localPath_, below_), reply);
    case FUSE_OPEN:
        return localFs_.Open(LocalPath(localPath_, below_), req.args, share.readOnly, shareName_);
    case FUSE_READ: {
        const std::int32_t r = localFs_.Read(localPath_, req.args, reply, shareName_);
        readQueued = r == 0;
        return r;
    }
    case FUSE_READDIR:
        return localFs_.ReadDir(LocalPath(localPath_, below_), reply);
    case FUSE_WRITE:
        return localFs_.Write(localPath_, req.args, req.data, req.dataLength, reply, shareName_);
    case FUSE_RELEASE:
        return localFs_.Release(localPath_, req.args, shareName_);
    case FUSE_RENAME: {
        if (!FakeRoot::Resolve(shares_, req.newPath, newShareName_, newLocalPath_, isRoot_, isFake_, newBelow_) ||
            isFake_ != 0) {
            return kErrAccess;
        }
        // Nothing moves into a read-only share.
        const auto target = shares_.find(newShareName_);
        if (target == shares_.end() || target->second.readOnly) {
            return kErrAccess;
        }
        return localFs_.Rename(LocalPath(localPath_, below_), LocalPath(newLocalPath_, newBelow_));
    }
    case FUSE_UNLINK:
        return localFs_.Unlink(LocalPath(localPath_, below_));
    case FUSE_TRUNCATE:
        return localFs_.Truncate(LocalPath(localPath_, below_), req.args);
    case FUSE_MKDIR:
        return localFs_.Mkdir(LocalPath(localPath_, below_));
    case FUSE_RMDIR:
        return localFs_.Rmdir(LocalPath(localPath_, below_));
    default:
        return kErrFailure;
    }
}

std::int32_t FuseServer::FakeDispatch(const Request& req, ShareEntry* share, unsigned char* reply)
{
    switch (req.header.opcode) {
    case FUSE_GETATTR: {
        AttrRecord rec {};
        rec.mode = kFakeDirMode;
        rec.size = kFakeDirSize;
        const std::uint32_t length = sizeof rec;
        std::memcpy(reply + offsetof(ReplyHeader, length), &length, sizeof length);
        std::memcpy(reply + sizeof(ReplyHeader), &rec, sizeof rec);
        return 0;
    }
    case FUSE_OPEN:
        return 0;
    case FUSE_READDIR: {
        FakeRoot::Listing listing;
        if (isRoot_ != 0) {
            for (const auto& [name, entry] : shares_) {
                listing.emplace_back(&name, entry.hidden);
            }
        } else if (share != nullptr) {
            for (const auto& [name, local] : share->files) {
                listing.emplace_back(&name, false);
            }
        }
        return FakeRoot::ReadDir(listing, reply);
    }
    default:
        QLOG(kLogError, "Unknown request opcode {}", req.header.opcode);
        return kErrFailure;
    }
}

}  // namespace quor::fs
