#include "tools/FsClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <poll.h>

namespace quorhost {

using quor::fs::ArgBlock;
using quor::fs::ReplyHeader;

namespace {
// How long a READ waits for the device's answer before it looks at the port again.
constexpr int kReadPollMs = 10;
}  // namespace

bool FsClient::Connect(std::uint32_t hostPortIndex, int waitMs)
{
    return peer_.Connect(hostPortIndex, waitMs) && AwaitHandshake(waitMs);
}

bool FsClient::AwaitHandshake(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        quor::PacketHeader h {};
        if (left.count() <= 0 || !peer_.Port().RecvAll(&h, sizeof h, static_cast<int>(left.count())) ||
            h.magic != quor::PacketHeader::kControlMagic || !peer_.HandleControl(h)) {
            return false;
        }
        if (h.opcode == quor::PacketHeader::kOpGetState && h.state == quor::StateConnected &&
            peer_.HostState() == quor::StateConnected) {
            return true;
        }
    }
}

std::int32_t FsClient::Call(std::uint32_t opcode, const ArgBlock& args, const std::string& path,
                            const std::string& second, const void* data, std::size_t dataLength, ReplyHeader& header,
                            std::vector<unsigned char>& payload)
{
    request_.resize(quor::fs::kBufferSize);
    const std::uint64_t unique = ++unique_;
    const std::size_t size =
        quor::fs::BuildRequest(request_.data(), request_.size(), opcode, unique, args, path, second, data, dataLength);
    if (size == 0 || !peer_.SendPacket(request_.data(), size)) {
        return kNoReply;
    }
    if (opcode == quor::fs::FUSE_READ) {
        // The answer comes through the virtio-fs back end, or on the port when the guest
        // could not queue the READ (its device stalled).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            if (backend_.TakeReply(unique, header, payload, kReadPollMs)) {
                return header.error;
            }
            pollfd p {peer_.Port().Fd(), POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (!peer_.RecvReply(header, payload, static_cast<int>(std::max<long long>(left.count(), 1))) ||
                    header.unique != unique) {
                    return kNoReply;
                }
                return header.error;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return kNoReply;
            }
        }
    }
    if (!peer_.RecvReply(header, payload, timeoutMs_) || header.unique != unique) {
        return kNoReply;
    }
    return header.error;
}

std::int32_t FsClient::CallRaw(const std::vector<unsigned char>& request, ReplyHeader& header,
                               std::vector<unsigned char>& payload)
{
    if (!peer_.SendPacket(request.data(), request.size()) || !peer_.RecvReply(header, payload, timeoutMs_)) {
        return kNoReply;
    }
    return header.error;
}

std::int32_t FsClient::Simple(std::uint32_t opcode, const ArgBlock& args, const std::string& path,
                              const std::string& second)
{
    ReplyHeader header {};
    std::vector<unsigned char> payload;
    return Call(opcode, args, path, second, nullptr, 0, header, payload);
}

std::int32_t FsClient::GetAttr(const std::string& path, FsAttr& attr)
{
    ReplyHeader header {};
    std::vector<unsigned char> payload;
    const std::int32_t r = Call(quor::fs::FUSE_GETATTR, ArgBlock{}, path, {}, nullptr, 0, header, payload);
    if (r == 0 && payload.size() >= sizeof(quor::fs::AttrRecord)) {
        quor::fs::AttrRecord rec;
        std::memcpy(&rec, payload.data(), sizeof rec);
        attr = FsAttr{rec.mode, rec.size, rec.atime, rec.mtime, rec.ctime};
    }
    return r;
}

std::int32_t FsClient::ReadDir(const std::string& path, std::vector<std::string>& names)
{
    ReplyHeader header {};
    std::vector<unsigned char> payload;
    const std::int32_t r = Call(quor::fs::FUSE_READDIR, ArgBlock{}, path, {}, nullptr, 0, header, payload);
    names.clear();
    if (r == 0 && !quor::fs::ForEachDirRecord(payload.data(), payload.size(),
                                              [&](std::string_view n) { names.emplace_back(n); })) {
        return kNoReply;
    }
    return r;
}

std::int32_t FsClient::Open(const std::string& path, std::uint32_t flags, std::uint64_t handle)
{
    ArgBlock args {};
    args.flags = flags;
    args.hostFileHandle = handle;
    return Simple(quor::fs::FUSE_OPEN, args, path);
}

std::int32_t FsClient::Read(const std::string& path, std::uint64_t handle, std::uint64_t offset, std::uint32_t size,
                            std::vector<unsigned char>& data)
{
    ArgBlock args {};
    args.hostFileHandle = handle;
    args.size = size;
    args.offset = offset;
    ReplyHeader header {};
    return Call(quor::fs::FUSE_READ, args, path, {}, nullptr, 0, header, data);
}

std::int32_t FsClient::Write(const std::string& path, std::uint64_t handle, std::uint64_t offset, const void* data,
                             std::size_t size, std::uint64_t& written)
{
    ArgBlock args {};
    args.hostFileHandle = handle;
    args.size = size;
    args.offset = offset;
    ReplyHeader header {};
    std::vector<unsigned char> payload;
    const std::int32_t r = Call(quor::fs::FUSE_WRITE, args, path, {}, data, size, header, payload);
    written = 0;
    if (r == 0 && payload.size() >= 24) {
        std::memcpy(&written, payload.data() + 16, sizeof written);
    }
    return r;
}

std::int32_t FsClient::Release(const std::string& path, std::uint64_t handle)
{
    ArgBlock args {};
    args.hostFileHandle = handle;
    return Simple(quor::fs::FUSE_RELEASE, args, path);
}

std::int32_t FsClient::Rename(const std::string& from, const std::string& to)
{
    return Simple(quor::fs::FUSE_RENAME, ArgBlock{}, from, to);
}

std::int32_t FsClient::Unlink(const std::string& path) { return Simple(quor::fs::FUSE_UNLINK, ArgBlock{}, path); }

std::int32_t FsClient::Truncate(const std::string& path, std::uint64_t length)
{
    ArgBlock args {};
    args.offset = length;
    return Simple(quor::fs::FUSE_TRUNCATE, args, path);
}

std::int32_t FsClient::Mkdir(const std::string& path) { return Simple(quor::fs::FUSE_MKDIR, ArgBlock{}, path); }

std::int32_t FsClient::Rmdir(const std::string& path) { return Simple(quor::fs::FUSE_RMDIR, ArgBlock{}, path); }

std::int32_t FsClient::GetFile(const std::string& path, std::vector<unsigned char>& data)
{
    data.clear();
    const std::uint64_t handle = NewHandle();
    std::int32_t r = Open(path, quor::fs::kOpenBinary, handle);
    if (r != 0) {
        return r;
    }
    std::vector<unsigned char> chunk;
    for (;;) {
        r = Read(path, handle, data.size(), kMaxRead, chunk);
        if (r != 0 || chunk.empty()) {
            break;
        }
        data.insert(data.end(), chunk.begin(), chunk.end());
    }
    const std::int32_t released = Release(path, handle);
    return r != 0 ? r : released;
}

std::int32_t FsClient::PutFile(const std::string& path, const std::vector<unsigned char>& data)
{
    const std::uint64_t handle = NewHandle();
    std::int32_t r = Open(path,
                          quor::fs::kOpenBinary | quor::fs::kOpenWriteOnly | quor::fs::kOpenCreate |
                              quor::fs::kOpenTruncate,
                          handle);
    if (r != 0) {
        return r;
    }
    std::size_t at = 0;
    while (at < data.size()) {
        const std::size_t n = std::min<std::size_t>(kWriteChunk, data.size() - at);
        std::uint64_t written = 0;
        r = Write(path, handle, at, data.data() + at, n, written);
        if (r != 0) {
            break;
        }
        if (written == 0) {
            r = quor::fs::kErrFailure;
            break;
        }
        at += written;
    }
    const std::int32_t released = Release(path, handle);
    return r != 0 ? r : released;
}

}  // namespace quorhost
