#include "quorsharemgr/ShareMgr.h"

#include <cstring>
#include <string>
#include <vector>

#include "fileshare/src/FuseServer.h"
#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/DeviceBroadcast.h"
#include "quorsharemgr/ShareCrc32.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/GlobalMemory.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"

namespace quor {

namespace {

// Slices of the bounded wait for the listen thread: the port's I/O is cancelled again at
// each, so a read that began just after a cancellation is woken too.
constexpr std::uint32_t kStopSliceMs = 50;

std::unique_ptr<fs::FuseServerInterface> OrOwnServer(std::unique_ptr<fs::FuseServerInterface> server)
{
    return server != nullptr ? std::move(server) : std::make_unique<fs::FuseServer>();
}

template <class T>
T At(const unsigned char* p, std::size_t offset)
{
    T v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
}

}  // namespace

ShareMgr::ShareMgr(std::unique_ptr<fs::FuseServerInterface> server)
    : window_([this] { SendClipboardToHost(); },
              [this](std::uintptr_t wParam, std::intptr_t lParam) { OnDeviceChange(wParam, lParam); },
              [this](const ShareFileMap& files) { return foldersMgr_.CreateShareName(files); },
              [this](const char* name, std::uint32_t format) { SendShareMessage(name, format); }),
      transport_([this](platform::PortHandle handle) { return window_.RegisterHandleNotification(handle); },
                 OrOwnServer(std::move(server)))
{
}

ShareMgr::~ShareMgr() { Deinit(); }

std::uint32_t ShareMgr::InitWindow()
{
    if (windowInitialised_.load() != 0) {
        QLOG(kLogWarning, "Share manager window already initialised!");
        return platform::kErrorAlreadyInitialized;
    }
    const std::uint32_t r = window_.Init();
    if (r != 0) {
        QLOG(kLogError, "Clipboard window startup failed with error: {}", r);
        window_.Destroy();
        return r;
    }
    windowInitialised_.store(1);
    QLOG(kLogInfo, "Share manager window init completed");
    return 0;
}

std::uint32_t ShareMgr::InitConfiguration()
{
    std::lock_guard<std::mutex> config(configLock_);
    if (configurationStarted_.load() != 0) {
        return platform::kErrorAlreadyInitialized;
    }
    std::uint32_t r = transport_.Init();
    if (r != 0) {
        QLOG(kLogError, "ShareTransport failed to init with error: {}", r);
    } else {
        r = foldersMgr_.Init(transport_.IsInitialised() ? transport_.Server() : nullptr);
        if (r != 0) {
            QLOG(kLogError, "VirtFoldersMgr failed to init with error: {}", r);
        } else {
            std::lock_guard<std::mutex> g(listenLock_);
            transport_.ResumeIo();
            listenStop_.store(false);
            listenThread_ = platform::CreateThread(&ShareMgr::ListenEntry, this);
            if (listenThread_ != nullptr) {
                ++listenStarts_;
                configurationStarted_.store(1);
                return 0;
            }
            r = platform::LastError();
            QLOG(kLogError, "CreateThread failed with error: {}", r);
        }
    }
    foldersMgr_.Stop();
    if (transport_.IsInitialised()) {
        // Closed again, so that the next device arrival configures from the start.
        transport_.Shutdown();
    }
    return r;
}

void ShareMgr::StopConfiguration()
{
    std::lock_guard<std::mutex> config(configLock_);
    if (configurationStarted_.load() == 0 && !transport_.IsInitialised()) {
        return;
    }
    QLOG(kLogInfo, "Share manager configuration stopped: a device was removed");
    foldersMgr_.Stop();
    {
        std::lock_guard<std::mutex> g(listenLock_);
        StopListenLocked();
    }
    transport_.Shutdown();
    configurationStarted_.store(0);
}

void ShareMgr::Deinit()
{
    if (windowInitialised_.load() == 0) {
        return;
    }
    // The listen thread goes first, while the window it opens the clipboard for and posts
    // to still exists; with the flag cleared under the listen lock, a port-status event on
    // the window thread starts no new one.
    bool listenStopped = true;
    if (configurationStarted_.exchange(0) != 0) {
        std::lock_guard<std::mutex> g(listenLock_);
        listenStopped = StopListenLocked();
        // The window thread may still send (a share released when OLE lets its clipboard go);
        // a listen thread that had to be terminated leaves the port cancelled.
        if (listenStopped) {
            transport_.ResumeIo();
        }
    }
    window_.Destroy([this] {
        if (transport_.IsInitialised()) {
            transport_.CancelIo();
        }
    });
    foldersMgr_.Stop();
    windowInitialised_.store(0);
}

bool ShareMgr::StopListenLocked()
{
    if (listenThread_ == nullptr) {
        return true;
    }
    listenStop_.store(true);
    bool ended = false;
    for (std::uint32_t waited = 0; waited < kListenStopMs && !ended; waited += kStopSliceMs) {
        if (transport_.IsInitialised()) {
            transport_.CancelIo();
        }
        ended = platform::WaitForSingleObject(listenThread_, kStopSliceMs) == platform::kWaitObject0;
    }
    if (!ended) {
        QLOG(kLogError, "Terminate Thread for Listen");
        (void)platform::TerminateThread(listenThread_, 0);
        // Cut off between switching the clipboard listener off and on again: guest copies
        // would never be noticed again.
        if (listenerOff_.exchange(false) && window_.Hwnd() != nullptr) {
            (void)platform::AddClipboardFormatListener(window_.Hwnd());
            QLOG(kLogWarning, "Clipboard listener restored after the listen thread was terminated");
        }
    }
    (void)platform::CloseHandle(listenThread_);
    listenThread_ = nullptr;
    return ended;
}

bool ShareMgr::StopListen()
{
    std::lock_guard<std::mutex> g(listenLock_);
    StopListenLocked();
    return true;
}

std::uint32_t ShareMgr::ListenEntry(void* self) { return static_cast<ShareMgr*>(self)->ShareListenProc(); }

std::uint32_t ShareMgr::ShareListenProc()
{
    QLOG(kLogInfo, "ShareListenProc thread started");
    {
        ShareRecvProcess record([this](const char* name) { (void)window_.PostDeleteShareName(name); });
        if (transport_.IsInitialised()) {
            transport_.Drain();
        }
        const std::vector<unsigned char> started = ShareHeader::Build(ShareFormatListenStarted, {}, 0);
        transport_.Send(started.data(), static_cast<std::uint32_t>(started.size()), nullptr);
        while (transport_.Receive(record) != 0) {
            const std::uint32_t format = record.Format();
            if (format == ShareFormatBitmap || format == ShareFormatFiles || format == ShareFormatSyncToHost) {
                (void)PlaceReceivedData(record);
                record.Reset();
            } else if (format == ShareFormatUnicodeText || format == ShareFormatHtml ||
                       format == (ShareFormatUnicodeText | ShareFormatHtml)) {
                if (record.Decode()) {
                    (void)PlaceReceivedData(record);
                    record.Reset();
                }
            } else {
                QLOG(kLogError, "Receive format is not supported: {}", format);
            }
        }
    }
    QLOG(kLogInfo, "ShareListenProc thread ended");
    return 0;
}

bool ShareMgr::PlaceReceivedData(ShareRecvProcess& record)
{
    const std::uint32_t format = record.Format();
    if (format == ShareFormatSyncToHost) {
        std::uint32_t expected = 1;
        const platform::WindowHandle hwnd = window_.Hwnd();
        if (hwnd != nullptr &&
            window_.ClipboardChanged().compare_exchange_strong(expected, 0, std::memory_order_seq_cst)) {
            (void)platform::PostMessageW(hwnd, SyncClipboardDataToHostMessage(), 0, 0);
        }
        return true;
    }
    if (format == ShareFormatFiles) {
        (void)window_.PostClipboardPutFiles(record.FilesShareName().c_str());
        return true;
    }
    listenerOff_.store(true);
    (void)platform::RemoveClipboardFormatListener(window_.Hwnd());
    if (!window_.OpenClipboardWithRetry(&listenStop_)) {
        QLOG(kLogError, "Open clipboard failed");
        (void)platform::AddClipboardFormatListener(window_.Hwnd());
        listenerOff_.store(false);
        return false;
    }
    std::uint32_t r = 0;
    if (!window_.EmptyClipboard()) {
        r = platform::LastError();
        QLOG(kLogError, "Empty clipboard failed with error: {}", r);
    } else {
        if ((format & ShareFormatUnicodeText) != 0) {
            const auto& text = record.Text();
            r = SetClipboardBuffer(kCfUnicodeText, text.data(), (text.size() * sizeof(char16_t)) & ~std::uint64_t{1});
        }
        if ((format & ShareFormatHtml) != 0) {
            const auto& html = record.HtmlBlock();
            r = SetClipboardBuffer(platform::RegisterClipboardFormatW(kHtmlFormatName), html.data(), html.size());
        }
        if (format == ShareFormatBitmap) {
            r = SetClipboardBuffer(kCfDib, record.Buffer().data(), record.DataLen());
        }
    }
    (void)window_.CloseClipboard();
    (void)platform::AddClipboardFormatListener(window_.Hwnd());
    listenerOff_.store(false);
    return r == 0;
}

std::uint32_t ShareMgr::SetClipboardBuffer(std::uint32_t format, const void* bytes, std::uint64_t count)
{
    platform::MemHandle block = platform::GlobalAlloc(static_cast<std::size_t>(count));
    if (block == nullptr) {
        const std::uint32_t r = platform::LastError();
        QLOG(kLogError, "GlobalAlloc failed with error: {}", r);
        return r;
    }
    void* p = platform::GlobalLock(block);
    if (p == nullptr) {
        const std::uint32_t r = platform::LastError();
        QLOG(kLogError, "GlobalLock failed with error: {}", r);
        (void)platform::GlobalFree(block);
        return r;
    }
    if (count > 0) {
        if (bytes == nullptr) {
            QLOG(kLogError, "Execution of memcpy_s fails with error: {}", platform::kErrnoInvalid);
            (void)platform::GlobalUnlock(block);
            (void)platform::GlobalFree(block);
            return static_cast<std::uint32_t>(platform::kErrnoInvalid);
        }
        std::memcpy(p, bytes, static_cast<std::size_t>(count));
    }
    (void)platform::GlobalUnlock(block);
    if (platform::SetClipboardData(format, block) != nullptr) {
        return 0;
    }
    const std::uint32_t r = platform::LastError();
    QLOG(kLogError, "SetClipboardData failed with error: {}", r);
    (void)platform::GlobalFree(block);
    return r;
}

void ShareMgr::SendShareMessage(const char* name, std::uint32_t format)
{
    if (name == nullptr) {
        QLOG(kLogError, "Share name is a null pointer");
        return;
    }
    const std::vector<unsigned char> message = ShareHeader::BuildShareName(format, name, 0);
    transport_.Send(message.data(), static_cast<std::uint32_t>(message.size()), nullptr);
}

void ShareMgr::SendClipboardToHost()
{
    if (configurationStarted_.load() == 0) {
        return;
    }
    const std::uint32_t seq = platform::GetClipboardSequenceNumber();
    if (seq == lastSequence_) {
        QLOG(kLogWarning, "Same Clipboard sequence number: {}", seq);
        return;
    }
    lastSequence_ = seq;
    if (!window_.OpenClipboardWithRetry()) {
        QLOG(kLogError, "Open clipboard failed");
        return;
    }
    std::uint32_t bits = 0;
    for (std::uint32_t f = platform::EnumClipboardFormats(0); f != 0; f = platform::EnumClipboardFormats(f)) {
        if (f == kCfDib) {
            bits |= ClipboardBitmap;
        } else if (f == kCfHdrop) {
            bits |= ClipboardFiles;
        } else if (f == kCfUnicodeText) {
            bits |= ClipboardUnicodeText;
        } else if (f >= 0xC000 && platform::GetClipboardFormatNameW(f) == kHtmlFormatName) {
            bits |= ClipboardHtml;
        }
    }
    std::unique_ptr<ShareSendProcess> sender = window_.CreateSendProcess(bits);
    if (sender != nullptr) {
        if (!sender->Init()) {
            sender.reset();
            QLOG(kLogError, "Init ShareSendProcess failed");
        } else {
            const std::uint32_t n = sender->GetExtraHeaderLen();
            std::vector<unsigned char> header(ShareHeader::kSize + n, 0);
            ShareHeader h;
            h.headerLen = ShareHeader::kSize + n;
            h.format = sender->GetFormat();
            h.dataLen = sender->GetDataLen();
            h.Store(header.data());
            const unsigned char* extra = sender->GetExtraHeader();
            if (n > 0 && extra == nullptr) {
                QLOG(kLogError, "Execution of memcpy_s fails with error: {}", platform::kErrnoInvalid);
            } else {
                if (n > 0) {
                    std::memcpy(header.data() + ShareHeader::kSize, extra, n);
                }
                h.crc = ShareCrc32(header.data(), header.size());
                h.Store(header.data());
                transport_.Send(header.data(), static_cast<std::uint32_t>(header.size()), sender.get());
            }
        }
    }
    (void)window_.CloseClipboard();
}

void ShareMgr::OnDeviceChange(std::uintptr_t wParam, std::intptr_t lParam)
{
    const auto* record = reinterpret_cast<const unsigned char*>(lParam);
    if (wParam == 0) {
        QLOG(kLogError, "wParam is a null pointer");
    } else if (wParam == kDbtDeviceArrival) {
        OnDeviceArrival(record);
    } else if (wParam == kDbtCustomEvent) {
        OnPortStatusEvent(record);
    } else if (wParam == kDbtDeviceQueryRemove || wParam == kDbtDeviceRemoveComplete) {
        OnDeviceRemoval(record);
    }
}

void ShareMgr::OnDeviceArrival(const unsigned char* header)
{
    if (header == nullptr) {
        QLOG(kLogError, "Device broadcast header is a null pointer");
        return;
    }
    if (At<std::uint32_t>(header, offsetof(DeviceInterfaceRecord, deviceType)) != kDbtDevtypDeviceInterface ||
        At<std::uint32_t>(header, offsetof(DeviceInterfaceRecord, size)) < offsetof(DeviceInterfaceRecord, name)) {
        return;
    }
    const Guid cls = At<Guid>(header, offsetof(DeviceInterfaceRecord, classGuid));
    if (!(cls == kSerialPortClass) && !(cls == kVirtioFsClass)) {
        return;
    }
    const std::uint32_t r = InitConfiguration();
    if (r == 0) {
        QLOG(kLogInfo, "Share manager configuration init completed");
    } else if (r == platform::kErrorAlreadyInitialized) {
        QLOG(kLogWarning, "Share manager Configuration already initialised");
    } else {
        QLOG(kLogError, "Failed to init Share manager configuration: {}", r);
    }
}

void ShareMgr::OnDeviceRemoval(const unsigned char* header)
{
    if (header == nullptr) {
        QLOG(kLogError, "Device broadcast header is a null pointer");
        return;
    }
    const auto size = At<std::uint32_t>(header, offsetof(DeviceHandleRecord, size));
    const auto type = At<std::uint32_t>(header, offsetof(DeviceHandleRecord, deviceType));
    bool ours = false;
    if (type == kDbtDevtypHandle && size >= offsetof(DeviceHandleRecord, notify)) {
        // The device of an open handle goes: the clipboard port's or the file-share port's.
        const auto handle = static_cast<platform::PortHandle>(At<std::uint64_t>(header, offsetof(DeviceHandleRecord, handle)));
        fs::FuseServerInterface* server = transport_.Server();
        ours = handle != platform::kInvalidPort &&
               (handle == transport_.Port().Handle() || (server != nullptr && handle == server->GetPortHandle()));
    } else if (type == kDbtDevtypDeviceInterface && size >= offsetof(DeviceInterfaceRecord, name)) {
        const Guid cls = At<Guid>(header, offsetof(DeviceInterfaceRecord, classGuid));
        if (cls == kVirtioFsClass) {
            ours = true;  // the file-share server's backend holds the one virtio-fs device
        } else if (cls == kSerialPortClass && !transport_.Port().DevicePath().empty()) {
            std::u16string path;
            for (std::size_t at = offsetof(DeviceInterfaceRecord, name); at + 2 <= size; at += 2) {
                const auto c = At<char16_t>(header, at);
                if (c == 0) {
                    break;
                }
                path.push_back(c);
            }
            ours = path == transport_.Port().DevicePath();
        }
    }
    if (ours) {
        StopConfiguration();
    }
}

void ShareMgr::OnPortStatusEvent(const unsigned char* record)
{
    if (record == nullptr) {
        QLOG(kLogError, "Device broadcast handle is a null pointer");
        return;
    }
    // Only a handle record long enough to hold the status word is a port-status event.
    if (At<std::uint32_t>(record, offsetof(DeviceHandleRecord, deviceType)) != kDbtDevtypHandle ||
        At<std::uint32_t>(record, offsetof(DeviceHandleRecord, size)) < kPortStatusRecordMin) {
        return;
    }
    const std::uint32_t status = At<std::uint32_t>(record, kPortStatusOffset);
    const Guid event = At<Guid>(record, offsetof(DeviceHandleRecord, eventGuid));
    const auto handle = static_cast<platform::PortHandle>(At<std::uint64_t>(record, offsetof(DeviceHandleRecord, handle)));
    if (!(event == kPortStatusEvent)) {
        return;
    }
    if (handle == transport_.Port().Handle()) {
        QLOG(kLogInfo, "Clipboard transport status: {}", status);
        std::lock_guard<std::mutex> g(listenLock_);
        StopListenLocked();
        if (status != 0 && configurationStarted_.load() != 0) {
            transport_.ResumeIo();
            listenStop_.store(false);
            listenThread_ = platform::CreateThread(&ShareMgr::ListenEntry, this);
            if (listenThread_ == nullptr) {
                QLOG(kLogError, "CreateThread failed: {}", platform::LastError());
            } else {
                ++listenStarts_;
            }
        }
        return;
    }
    fs::FuseServerInterface* server = transport_.Server();
    const platform::PortHandle serverHandle = server != nullptr ? server->GetPortHandle() : platform::kInvalidPort;
    if (handle == serverHandle) {
        QLOG(kLogInfo, "Fuse Server transport status: {}", status);
        if (status != 0) {
            server->OnPortStatus(true);
        }
    }
}

}  // namespace quor
