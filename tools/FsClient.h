// The host's file-share client: requests on the file-share port through a PacketPeer,
// READ answers taken from the virtio-fs back end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/PacketPeer.h"
#include "tools/VirtioFsBackend.h"
#include "fileshare/src/WireFormat.h"

namespace quorhost {

struct FsAttr {
    std::uint64_t mode = 0;
    std::uint64_t size = 0;
    std::uint64_t atime = 0;
    std::uint64_t mtime = 0;
    std::uint64_t ctime = 0;
};

class FsClient {
public:
    // Result of a call that got no answer (never a value of the reply's `error`).
    static constexpr std::int32_t kNoReply = 1;
    // Largest READ the guest answers, and the WRITE chunk this client sends.
    static constexpr std::uint32_t kMaxRead = 0x1FFFB0;
    static constexpr std::uint32_t kWriteChunk = 0x100000;

    explicit FsClient(VirtioFsBackend& backend) : backend_(backend) {}

    // Connects to the guest's port and answers its handshake.
    bool Connect(std::uint32_t hostPortIndex, int waitMs = 5000);
    // Answers the guest's state requests until it has asked in Connected: a fresh
    // handshake, as the guest starts one after every loss of the link.
    bool AwaitHandshake(int timeoutMs);
    void Close() { peer_.Close(); }
    PacketPeer& Peer() { return peer_; }
    void SetTimeout(int ms) { timeoutMs_ = ms; }

    // One request; the reply's `error`, or kNoReply.
    std::int32_t Call(std::uint32_t opcode, const quor::fs::ArgBlock& args, const std::string& path,
                      const std::string& second, const void* data, std::size_t dataLength,
                      quor::fs::ReplyHeader& header, std::vector<unsigned char>& payload);
    // Sends request bytes as they are and waits for the reply on the port.
    std::int32_t CallRaw(const std::vector<unsigned char>& request, quor::fs::ReplyHeader& header,
                         std::vector<unsigned char>& payload);

    std::int32_t GetAttr(const std::string& path, FsAttr& attr);
    std::int32_t ReadDir(const std::string& path, std::vector<std::string>& names);
    std::int32_t Open(const std::string& path, std::uint32_t flags, std::uint64_t handle);
    std::int32_t Read(const std::string& path, std::uint64_t handle, std::uint64_t offset, std::uint32_t size,
                      std::vector<unsigned char>& data);
    std::int32_t Write(const std::string& path, std::uint64_t handle, std::uint64_t offset, const void* data,
                       std::size_t size, std::uint64_t& written);
    std::int32_t Release(const std::string& path, std::uint64_t handle);
    std::int32_t Rename(const std::string& from, const std::string& to);
    std::int32_t Unlink(const std::string& path);
    std::int32_t Truncate(const std::string& path, std::uint64_t length);
    std::int32_t Mkdir(const std::string& path);
    std::int32_t Rmdir(const std::string& path);

    // Whole files: open, read or write in chunks, release.
    std::int32_t GetFile(const std::string& path, std::vector<unsigned char>& data);
    std::int32_t PutFile(const std::string& path, const std::vector<unsigned char>& data);

    std::uint64_t NewHandle() { return ++lastHandle_; }
    std::uint64_t LastUnique() const { return unique_; }

private:
    std::int32_t Simple(std::uint32_t opcode, const quor::fs::ArgBlock& args, const std::string& path,
                        const std::string& second = {});

    VirtioFsBackend& backend_;
    PacketPeer peer_;
    std::uint64_t unique_ = 0;
    std::uint64_t lastHandle_ = 0;
    int timeoutMs_ = 5000;
    std::vector<unsigned char> request_;
};

}  // namespace quorhost
