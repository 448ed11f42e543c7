// The host's virtio-fs back end in the simulation: listens on $QUOR_SIM_DIR/viofs (or on a
// TCP port of 127.0.0.1, see tools/HostTcp.h), takes
// the guest's device requests and answers each with a 16-byte FUSE reply header.
// Requests with operation 2048 carry a file-share reply (READ data); they are kept until
// taken by `unique`.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fileshare/src/WireFormat.h"

namespace quorhost {

class VirtioFsBackend {
public:
    static constexpr std::uint32_t kFileShareReply = 2048;
    static constexpr std::uint32_t kRequestHead = 40;  // FUSE request header
    static constexpr std::uint32_t kReplyHead = 64;    // FUSE header + file-share reply header

    VirtioFsBackend() = default;
    ~VirtioFsBackend();
    VirtioFsBackend(const VirtioFsBackend&) = delete;
    VirtioFsBackend& operator=(const VirtioFsBackend&) = delete;

    // Listens where QUOR_HOST_TCP says (its "fs" entry), otherwise on the simulation's socket.
    bool Start();
    bool StartTcp(std::uint16_t tcpPort);
    void Stop();

    // How the device answers from now on: `bytes` of the 16-byte header (fewer closes
    // the connection after them), with this error and length field.
    void SetAnswer(std::int32_t error, std::uint32_t bytes = 16, std::uint32_t lengthField = 16);
    bool TakeReply(std::uint64_t unique, quor::fs::ReplyHeader& header, std::vector<unsigned char>& data,
                   int timeoutMs);
    std::uint64_t Submissions() const { return submissions_.load(); }
    std::uint64_t DataBytes() const { return dataBytes_.load(); }
    // Keep only counts, not the data (for throughput runs).
    void SetDiscardData(bool discard) { discard_ = discard; }

private:
    bool StartAccepting();
    void AcceptLoop();
    void Serve(int fd);

    struct Reply {
        quor::fs::ReplyHeader header;
        std::vector<unsigned char> data;
    };

    std::string path_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    std::thread acceptor_;
    std::vector<std::thread> servers_;
    std::vector<int> connFds_;
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::uint64_t, Reply> replies_;
    std::int32_t answerError_ = 0;
    std::uint32_t answerBytes_ = 16;
    std::uint32_t answerLength_ = 16;
    std::atomic<std::uint64_t> submissions_{0};
    std::atomic<std::uint64_t> dataBytes_{0};
    std::atomic<bool> discard_{false};
};

}  // namespace quorhost
