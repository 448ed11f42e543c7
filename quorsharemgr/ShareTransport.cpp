#include "quorsharemgr/ShareTransport.h"

#include <algorithm>

#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/platform/Thread.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"

namespace quor {

ShareTransport::ShareTransport(RegisterNotification registerNotification, std::unique_ptr<fs::FuseServerInterface> server)
    : server_(std::move(server)), registerNotification_(std::move(registerNotification))
{
}

ShareTransport::~ShareTransport()
{
    if (portNotify_ != nullptr) {
        (void)platform::UnregisterDeviceNotification(portNotify_);
    }
    if (serverNotify_ != nullptr) {
        (void)platform::UnregisterDeviceNotification(serverNotify_);
    }
    registerNotification_ = nullptr;
    server_.reset();
}

std::uint32_t ShareTransport::Init()
{
    if (IsInitialised()) {
        QLOG(kLogError, "ShareTransport already initialised!");
        return platform::kErrorAlreadyInitialized;
    }
    bool up = false;
    for (int attempt = 0; attempt < kOpenAttempts && !up; ++attempt) {
        up = port_.Open(kClipboardPort) && server_ != nullptr && server_->Start(kFileSharePort);
        if (!up) {
            platform::Sleep(openRetryMs_);
        }
    }
    if (!up) {
        QLOG(kLogError, "Failed to init ShareTransport");
        // Nothing keeps a device open that no notification watches.
        port_.Close();
        if (server_ != nullptr) {
            server_->Stop();
        }
        return platform::kErrorConnectionInvalid;
    }
    cancelled_.store(false);
    if (registerNotification_) {
        portNotify_ = registerNotification_(port_.Handle());
        serverNotify_ = registerNotification_(server_ != nullptr ? server_->GetPortHandle() : platform::kInvalidPort);
    }
    initialised_.store(1);
    return 0;
}

PortStatus ShareTransport::Read(void* buffer, std::uint32_t& length, std::uint32_t timeoutMs)
{
    if (cancelled_.load()) {
        return PortError;
    }
    return port_.TimedRead(buffer, length, timeoutMs);
}

PortStatus ShareTransport::ReadExact(unsigned char* at, std::uint64_t length, std::uint32_t timeoutMs)
{
    std::uint64_t have = 0;
    while (have < length) {
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(length - have, 0x7FFFFFFF));
        const PortStatus s = Read(at + have, n, timeoutMs);
        if (s != PortOk) {
            return s;
        }
        have += n;
    }
    return PortOk;
}

void ShareTransport::Drain()
{
    unsigned char scratch[256];
    for (;;) {
        std::uint32_t n = sizeof scratch;
        if (Read(scratch, n, drainMs_) != PortOk) {
            ++drains_;
            return;
        }
    }
}

int ShareTransport::ReceiveHeader(ShareRecvProcess& record, std::uint32_t& headerLen, std::uint64_t& dataLen)
{
    if (!IsInitialised()) {
        return 0;
    }
    record.Reset();
    if (record.ResizeBuffer(ShareHeader::kSize) == nullptr) {
        QLOG(kLogError, "Failed to resize buffer for ShareHeader, requested size: {} bytes.", ShareHeader::kSize);
        return 0;
    }
    for (;;) {
        std::uint32_t have = 0;
        while (have < ShareHeader::kSize) {
            std::uint32_t n = ShareHeader::kSize - have;
            const PortStatus s = Read(record.Buffer().data() + have, n, kReadTimeoutMs);
            if (s == PortTimeout) {
                have = 0;  // a header split by a long pause starts again
                continue;
            }
            if (s != PortOk) {
                QLOG(kLogError, "Failed to receive header data.");
                return 0;
            }
            have += n;
        }
        const unsigned char* bytes = record.Buffer().data();
        if (record.CheckHeader(bytes) && record.CheckFormat(bytes)) {
            const ShareHeader h = ShareHeader::Parse(bytes);
            headerLen = h.headerLen;
            dataLen = h.dataLen;
            const std::uint64_t total = dataLen + headerLen;
            if (record.ResizeBuffer(static_cast<std::size_t>(total)) == nullptr) {
                QLOG(kLogError, "Failed to resize buffer, requested size: {} bytes.", total);
                return 0;
            }
            return 1;
        }
        QLOG(kLogError, "Clipboard header data checking error, discarding data.");
        if (!IsInitialised()) {
            return 0;
        }
        Drain();
        if (cancelled_.load()) {
            QLOG(kLogError, "Failed to receive header data.");
            return 0;
        }
    }
}

int ShareTransport::Receive(ShareRecvProcess& record)
{
    if (!IsInitialised()) {
        return 0;
    }
    for (;;) {
        std::uint32_t headerLen = 0;
        std::uint64_t dataLen = 0;
        if (ReceiveHeader(record, headerLen, dataLen) == 0) {
            QLOG(kLogError, "Failed to receive header data.");
            return 0;
        }
        const PortStatus extra =
            ReadExact(record.Buffer().data() + ShareHeader::kSize, headerLen - ShareHeader::kSize, kReadTimeoutMs);
        if (extra == PortTimeout) {
            QLOG(kLogError, "Failed to receive header within {} ms", kReadTimeoutMs);
            return 0;
        }
        if (extra != PortOk) {
            QLOG(kLogError, "Failed to receive extra header data.");
            return 0;
        }
        if (!record.CheckExtraHeader()) {
            QLOG(kLogError, "Received invalid data.");
            if (IsInitialised()) {
                Drain();
            }
            continue;
        }
        if (dataLen == 0) {
            if (record.Format() == ShareFormatSyncToHost || record.Format() == ShareFormatFiles) {
                return 1;
            }
            continue;
        }
        const PortStatus data = ReadExact(record.Buffer().data(), dataLen, kReadTimeoutMs);
        if (data == PortOk) {
            return 1;
        }
        if (data == PortTimeout) {
            QLOG(kLogError, "Failed to receive all data within {} ms", kReadTimeoutMs);
        } else {
            QLOG(kLogError, "Failed to receive data with error: {}", static_cast<int>(data));
        }
        return 0;
    }
}

int ShareTransport::SendAll(const unsigned char* bytes, std::uint64_t length)
{
    while (length > 0) {
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0x7FFFFFFF));
        if (cancelled_.load() || !port_.Write(bytes, n)) {
            QLOG(kLogError, "Send failed with error: {}", platform::LastError());
            return 0;
        }
        bytes += n;
        length -= n;
    }
    return 1;
}

void ShareTransport::Send(const unsigned char* header, std::uint32_t headerLen, ShareSendProcess* source)
{
    // Under the lock: Shutdown closes the port only while no message is being written.
    std::lock_guard<std::mutex> g(sendLock_);
    if (!IsInitialised()) {
        return;
    }
    if (SendAll(header, headerLen) == 0) {
        QLOG(kLogError, "Send header data error.");
        return;
    }
    if (source == nullptr) {
        return;
    }
    const unsigned char* start = nullptr;
    std::uint32_t n = 0;
    while (source->GetNextData(start, n)) {
        if (SendAll(start, n) == 0) {
            QLOG(kLogError, "Send data error.");
            return;
        }
    }
}

void ShareTransport::CancelIo()
{
    cancelled_.store(true);
    if (IsInitialised()) {
        (void)port_.CancelAndPurge();
    }
}

void ShareTransport::ResumeIo() { cancelled_.store(false); }

void ShareTransport::Shutdown()
{
    CancelIo();
    initialised_.store(0);
    for (platform::DeviceNotifyHandle* n : {&portNotify_, &serverNotify_}) {
        if (*n != nullptr) {
            (void)platform::UnregisterDeviceNotification(*n);
            *n = nullptr;
        }
    }
    if (server_ != nullptr) {
        server_->Stop();
    }
    std::lock_guard<std::mutex> g(sendLock_);
    port_.Close();
}

}  // namespace quor
