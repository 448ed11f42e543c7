// The file-share server: serves the host's file requests that arrive as packets on a
// virtio-serial port, through the share table (FakeRoot) and the local backend (LocalFS).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "fileshare/src/FuseServerInterface.h"
#include "fileshare/src/LocalFS.h"
#include "fileshare/src/ShareEntry.h"
#include "shared/lib/VioSAPI.h"
#include "fileshare/src/WireFormat.h"

namespace quor::fs {

enum ConnState : std::uint8_t {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
};

// The waits of the connect step, in milliseconds.
struct ServeTimings {
    std::uint32_t connectSleepMs = 1000;  // before each connect step
    std::uint32_t drainReadMs = 1000;     // per read while draining the port
    std::uint32_t retrySleepMs = 100;     // after a handshake the port could not carry
};

class FuseServer final : public FuseServerInterface {
public:
    // Results of ReadRequest beyond the port's own.
    static constexpr int kReadProtocolError = 3;

    explicit FuseServer(ServeTimings timings = {});
    ~FuseServer() override;
    FuseServer(const FuseServer&) = delete;
    FuseServer& operator=(const FuseServer&) = delete;

    bool Start(std::uint32_t portIndex) override;
    bool AddShareName(const std::string& name, const std::unordered_map<std::string, std::string>& files,
                      std::int64_t accessTime, bool hidden, bool readOnly) override;
    std::int32_t RemoveShareName(const std::string& name, bool force) override;
    bool GetShareAccessTime(const std::string& name, std::int64_t& accessTime) override;
    platform::PortHandle GetPortHandle() override;
    void OnPortStatus(bool hostOpen) override;

    // One received request (`received` bytes in `request`, at most the 2 MiB buffer) into
    // the 2 MiB `reply` buffer. A READ is answered through the virtio-fs device instead.
    void HandleRequest(const unsigned char* request, std::size_t received, unsigned char* reply);
    // Receives the next request into the 2 MiB `request` buffer: 0, a port status, or 3
    // for a protocol error.
    int ReadRequest(unsigned char* request);
    int SendReply(const unsigned char* reply);

    ConnState Conn() const { return static_cast<ConnState>(conn_.load()); }
    // True while the serving thread runs.
    bool IsServing() const { return serving_.load(); }

private:
    void ServeLoop();
    void ConnectStep();
    bool Handshake();
    void Pause(std::uint32_t ms);
    std::int32_t RealDispatch(const Request& req, ShareEntry& share, unsigned char* reply, bool& readQueued);
    std::int32_t FakeDispatch(const Request& req, ShareEntry* share, unsigned char* reply);

    ShareTable shares_;
    std::mutex lock_;
    std::thread thread_;
    std::atomic<std::uint8_t> conn_{Disconnected};
    std::atomic<std::uint8_t> stop_{0};
    VioSAPI port_;
    LocalFS localFs_;
    std::uint8_t isFake_ = 0;
    std::uint8_t isRoot_ = 0;
    std::uint8_t started_ = 0;

    ServeTimings timings_;
    std::atomic<bool> serving_{false};
    std::mutex pauseLock_;
    std::condition_variable pauseSignal_;
    std::string shareName_;  // results of the latest Resolve
    std::string localPath_;
    std::string newShareName_;
    std::string newLocalPath_;
};

}  // namespace quor::fs
