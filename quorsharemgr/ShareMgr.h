// The guest side of clipboard sharing: owns the hidden clipboard window, the clipboard
// transport (with the file-share server behind it) and the virtual folders manager, and
// runs the listen thread that applies what the host sends.
//
// States: constructed -> InitWindow -> window running -> InitConfiguration (main thread,
// or the window thread on a device arrival) -> configured -> Deinit -> stopped.
// Threads: main (InitWindow, InitConfiguration, Deinit), window thread
// (SendClipboardToHost, OnDeviceChange and its handlers), listen thread (ShareListenProc,
// PlaceReceivedData), and any thread for SendShareMessage. `configLock_` serialises the
// configuration step so that only one caller opens the transport and starts a listen
// thread; `listenLock_` guards the listen thread's handle, which the window thread
// (port-status events) and the main thread (Deinit) both stop. A device that goes away
// (window thread) takes the manager from configured back to window running: listen thread
// stopped, transport closed, flags cleared; its arrival configures again.
// Deinit stops the listen thread first, while the window it opens the clipboard for and
// posts to still exists, then the window (bounded; the port is cancelled to free a window
// thread blocked in a write), then the folders manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "fileshare/src/FuseServerInterface.h"
#include "quorsharemgr/ClipboardShareWindow.h"
#include "quorsharemgr/ShareRecvProcess.h"
#include "quorsharemgr/ShareTransport.h"
#include "quorsharemgr/VirtFoldersMgr.h"
#include "quorsharemgr/platform/Thread.h"

namespace quor {

class ShareMgr {
public:
    static constexpr std::uint32_t kListenStopMs = 1000;

    // A null server makes the program's own file-share server.
    explicit ShareMgr(std::unique_ptr<fs::FuseServerInterface> server = nullptr);
    ~ShareMgr();
    ShareMgr(const ShareMgr&) = delete;
    ShareMgr& operator=(const ShareMgr&) = delete;

    std::uint32_t InitWindow();
    std::uint32_t InitConfiguration();
    void Deinit();

    void SendClipboardToHost();
    std::uint32_t ShareListenProc();
    bool PlaceReceivedData(ShareRecvProcess& record);
    std::uint32_t SetClipboardBuffer(std::uint32_t format, const void* bytes, std::uint64_t count);
    void SendShareMessage(const char* name, std::uint32_t format);
    bool StopListen();
    void OnDeviceChange(std::uintptr_t wParam, std::intptr_t lParam);
    void OnDeviceArrival(const unsigned char* header);
    void OnPortStatusEvent(const unsigned char* record);
    // DBT_DEVICEQUERYREMOVE / DBT_DEVICEREMOVECOMPLETE: a device the configuration holds
    // goes away, and the configuration is stopped so that the device can go.
    void OnDeviceRemoval(const unsigned char* header);

    ClipboardShareWindow& Window() { return window_; }
    platform::SyncHandle WindowThread() const { return window_.ThreadHandle(); }
    ShareTransport& Transport() { return transport_; }
    VirtFoldersMgr& FoldersMgr() { return foldersMgr_; }
    bool IsConfigured() const { return configurationStarted_.load() != 0; }
    // True from the moment a stop of the listen thread begins until a new one starts.
    bool ListenStopping() const { return listenStop_.load(); }
    // Listen threads started since construction.
    std::uint32_t ListenThreadsStarted() const { return listenStarts_.load(); }

private:
    static std::uint32_t ListenEntry(void* self);
    // Under listenLock_: cancels the port's I/O until the thread ends or the bound passes;
    // false when the thread had to be terminated.
    bool StopListenLocked();
    // Stops the listen thread and the folders manager and closes the transport (ports,
    // notifications, file-share server); the next device arrival configures again.
    void StopConfiguration();

    std::atomic<std::uint32_t> windowInitialised_{0};
    std::atomic<std::uint32_t> configurationStarted_{0};
    platform::SyncHandle listenThread_ = nullptr;
    std::uint32_t lastSequence_ = 0;
    std::mutex configLock_;
    std::mutex listenLock_;
    std::atomic<std::uint32_t> listenStarts_{0};
    // Set while the listen thread is asked to stop; its clipboard open gives up on it.
    std::atomic<bool> listenStop_{false};
    // Set while the listen thread has the clipboard listener switched off.
    std::atomic<bool> listenerOff_{false};
    ClipboardShareWindow window_;
    ShareTransport transport_;
    VirtFoldersMgr foldersMgr_;
};

}  // namespace quor
