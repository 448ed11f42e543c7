// The clipboard channel to the host: clipboard messages on the clipboard port (host index
// 3), and the file-share server started on its own port (host index 4) in the same step.
//
// States: closed (constructed; the server allocated, not started) -> Init -> initialised
// (both channels open, handle notifications registered) -> Shutdown (a device went away,
// or the configuration failed after Init) -> closed again -> Init may follow.
// Receive and ReceiveHeader run on the listen thread only; Send from any thread, one
// message at a time on the wire under the send lock. CancelIo (any thread) wakes the
// listen thread's blocking reads and writes and makes every later one fail until
// ResumeIo, so that a stopping listen thread never waits out a time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "fileshare/src/FuseServerInterface.h"
#include "quorsharemgr/ShareRecvProcess.h"
#include "quorsharemgr/ShareSendProcess.h"
#include "quorsharemgr/platform/DeviceNotify.h"
#include "shared/lib/VioSAPI.h"

namespace quor {

class ShareTransport {
public:
    static constexpr std::uint32_t kClipboardPort = 3;
    static constexpr std::uint32_t kFileSharePort = 4;
    static constexpr int kOpenAttempts = 5;
    static constexpr std::uint32_t kOpenRetryMs = 1000;
    static constexpr std::uint32_t kReadTimeoutMs = 5000;
    static constexpr std::uint32_t kDrainTimeoutMs = 1000;

    using RegisterNotification = std::function<platform::DeviceNotifyHandle(platform::PortHandle handle)>;

    ShareTransport(RegisterNotification registerNotification, std::unique_ptr<fs::FuseServerInterface> server);
    ~ShareTransport();
    ShareTransport(const ShareTransport&) = delete;
    ShareTransport& operator=(const ShareTransport&) = delete;

    // 0, 1247 when already initialised, 1229 when the channels cannot be opened.
    std::uint32_t Init();
    // 1: the record holds one complete valid message; 0: receiving failed.
    int Receive(ShareRecvProcess& record);
    int ReceiveHeader(ShareRecvProcess& record, std::uint32_t& headerLen, std::uint64_t& dataLen);
    void Send(const unsigned char* header, std::uint32_t headerLen, ShareSendProcess* source);
    int SendAll(const unsigned char* bytes, std::uint64_t length);

    // Reads until one second passes without data (or a read fails).
    void Drain();
    void CancelIo();
    void ResumeIo();
    // Cancels, clears the initialised flag, unregisters the handle notifications, stops the
    // file-share server and closes the port, so that Init may open everything again. The
    // listen thread must have ended (nothing else reads the port).
    void Shutdown();

    bool IsInitialised() const { return initialised_.load() != 0; }
    // Drains finished since construction (a test waits for one before it sends on).
    std::uint32_t DrainsDone() const { return drains_.load(); }
    // Shorter quiet period and retry pause, so that tests of many cycles stay quick.
    void SetTimingsForTest(std::uint32_t drainMs, std::uint32_t openRetryMs)
    {
        drainMs_ = drainMs;
        openRetryMs_ = openRetryMs;
    }
    VioSAPI& Port() { return port_; }
    fs::FuseServerInterface* Server() { return server_.get(); }

private:
    // A timed read that fails at once while the I/O is cancelled.
    PortStatus Read(void* buffer, std::uint32_t& length, std::uint32_t timeoutMs);
    // Reads `length` bytes at `at`; PortTimeout as soon as one read times out.
    PortStatus ReadExact(unsigned char* at, std::uint64_t length, std::uint32_t timeoutMs);

    std::mutex sendLock_;
    VioSAPI port_;
    std::unique_ptr<fs::FuseServerInterface> server_;
    std::atomic<std::uint32_t> initialised_{0};
    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint32_t> drains_{0};
    std::uint32_t drainMs_ = kDrainTimeoutMs;
    std::uint32_t openRetryMs_ = kOpenRetryMs;
    platform::DeviceNotifyHandle portNotify_ = nullptr;
    platform::DeviceNotifyHandle serverNotify_ = nullptr;
    RegisterNotification registerNotification_;
};

}  // namespace quor
