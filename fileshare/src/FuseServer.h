// The file-share server: serves the host's file requests that arrive as packets on a
// virtio-serial port, through the share table (FakeRoot) and the local backend (LocalFS).
//
// Connection state (conn_), driven by the serving thread (ServeLoop) and OnPortStatus:
//
//   Disconnected --round starts (compare-and-exchange)------------> Connecting
//   Connecting   --handshake done ("Fuse client connected")-------> Connected
//   Connecting   --handshake failed, stop set---------------------> Disconnected
//   Connecting   --handshake failed otherwise: the round reads a
//                  request, the port reports code 1---------------> Disconnected
//   Connected    --request handled and answered-------------------> Connected
//   Connected    --receive time-out, nothing arrived--------------> Connected (no reconnect)
//   Connected    --reply send failed, read code 1 or 3 (3: port
//                  purged), read code 2 (also stop), OnPortStatus
//                  (true), destruction----------------------------> Disconnected
//   Disconnected --OnPortStatus(false)----------------------------> Connected
//
// Every connect step (entering Connecting) first closes all files the backend holds open.
//
// Lifetime: created -> Start (backend initialised, port opened, serving thread started)
// -> serving until stop_ is set (Stop, the destructor, a broken peer, a fatal handshake)
// -> the thread ends at the end of its round. Only Stop (a device went away) closes the
// port and the backend's device and lets a later Start serve again; the share table stays.
//
// Threads and locks: the serving thread runs ServeLoop and every request dispatch; the
// folders manager calls AddShareName, RemoveShareName and GetShareAccessTime from its own
// threads; the device-notification thread calls GetPortHandle and OnPortStatus. lock_
// guards the share table and the results of the latest Resolve and is held for a whole
// dispatch, backend calls included (then the backend's own locks, see LocalFS.h). conn_
// and stop_ are atomics; the port's state fields belong to the serving thread.
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
    void Stop() override;
    bool AddShareName(const std::string& name, const std::unordered_map<std::string, std::string>& files,
                      std::int64_t accessTime, bool hidden, bool readOnly) override;
    std::int32_t RemoveShareName(const std::string& name, bool force) override;
    bool GetShareAccessTime(const std::string& name, std::int64_t& accessTime) override;
    platform::PortHandle GetPortHandle() override;
    void OnPortStatus(bool hostOpen) override;

    // One received request (`received` bytes in `request`, at most the 2 MiB buffer) into
    // the 2 MiB `reply` buffer. True when the reply is to be sent on the port: every
    // request but a READ, which is answered through the virtio-fs device, unless the READ
    // channel's queue is full.
    bool HandleRequest(const unsigned char* request, std::size_t received, unsigned char* reply);
    // Receives the next request into the 2 MiB `request` buffer: 0, a port status, or 3
    // for a protocol error.
    int ReadRequest(unsigned char* request);
    int SendReply(const unsigned char* reply);

    ConnState Conn() const { return static_cast<ConnState>(conn_.load()); }
    // True while the serving thread runs.
    bool IsServing() const { return serving_.load(); }
    // How often a request read ended in the receive time-out with nothing received.
    std::uint64_t ReceiveTimeouts() const { return receiveTimeouts_.load(); }

private:
    void ServeLoop();
    // Ends the serving thread and tells a connected peer that this side is closing.
    void StopServing();
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
    std::atomic<std::uint64_t> receiveTimeouts_{0};
    std::mutex pauseLock_;
    std::condition_variable pauseSignal_;
    std::string shareName_;  // results of the latest Resolve
    std::string localPath_;
    std::uint32_t below_ = 0;  // components of localPath_ below its exported entry
    std::string newShareName_;
    std::string newLocalPath_;
    std::uint32_t newBelow_ = 0;
};

}  // namespace quor::fs
