// The program's hidden window on a thread of its own: clipboard-change notification,
// device arrival and the port-status events, and the OLE clipboard for files the host
// offers. It holds no sharing policy: events become calls of the owner's four callbacks.
//
// States: not initialised (constructed, or after Destroy) -> Init -> running (the thread
// in its message loop, the window hidden, OLE initialised on the thread, the clipboard
// listener on, the two interface-class notifications registered) -> Destroy -> not
// initialised. Init and Destroy: the owner's thread. OnWindowEvent, PutFilesToClipboard,
// SetFilesDataObject, OnDeleteShareName: the window thread. The clipboard helpers, the
// two post operations, CreateSendProcess and RegisterHandleNotification: any thread
// (they read the window handle only). `clipboardChanged` is the one state shared with
// the listen thread: a sequentially consistent atomic. The object holds no lock.
// Destroy is bounded: it posts the close and waits kThreadStopMs, waking the thread through
// the owner's callback, before it terminates it. Once the handle is cleared, the clipboard
// helpers and the posts refuse to act rather than use a null window. No exception leaves
// the window procedure.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "quorsharemgr/ShareSendProcess.h"
#include "quorsharemgr/platform/DeviceNotify.h"
#include "quorsharemgr/platform/Thread.h"
#include "quorsharemgr/platform/Window.h"

namespace quor {

// The three registered messages, registered while the process starts.
std::uint32_t SyncClipboardDataToHostMessage();
std::uint32_t ClipboardPutFilesMessage();
std::uint32_t DeleteShareNameMessage();

class ClipboardShareWindow final : public platform::WindowSink {
public:
    using SyncToHostFn = std::function<void()>;
    using DeviceChangeFn = std::function<void(std::uintptr_t wParam, std::intptr_t lParam)>;

    static constexpr std::uint32_t kThreadStopMs = 1000;
    static constexpr std::uint32_t kStopSliceMs = 50;
    // Frees a window thread blocked in the owner's I/O (Destroy calls it while it waits).
    using WakeFn = std::function<void()>;
    static constexpr int kOpenAttempts = 10;

    ClipboardShareWindow(SyncToHostFn onSyncToHost, DeviceChangeFn onDeviceChange, CreateShareNameFn createShareName,
                         SendShareMessageFn sendShareMessage);
    ~ClipboardShareWindow();
    ClipboardShareWindow(const ClipboardShareWindow&) = delete;
    ClipboardShareWindow& operator=(const ClipboardShareWindow&) = delete;

    std::uint32_t Init();
    void Destroy(const WakeFn& wake = {});

    // `stop`, when given, ends the retries as soon as it is seen set (a stopping thread
    // must not outlast its stop bound in the sleeps between attempts).
    bool OpenClipboardWithRetry(const std::atomic<bool>* stop = nullptr);
    bool CloseClipboard();
    bool EmptyClipboard();
    std::unique_ptr<ShareSendProcess> CreateSendProcess(std::uint32_t bits);
    bool PostClipboardPutFiles(const char* shareName);
    bool PostDeleteShareName(const char* shareName);
    platform::DeviceNotifyHandle RegisterHandleNotification(std::intptr_t handle);

    // Window thread.
    bool PutFilesToClipboard(const char* shareName);
    bool SetFilesDataObject(void* dataObject, const char* shareName);
    void OnDeleteShareName(const char* shareName);

    platform::WindowHandle Hwnd() const { return hwnd_.load(); }
    // The window thread while initialised (the entry point waits on it); null otherwise.
    platform::SyncHandle ThreadHandle() const { return thread_; }
    bool IsInitialised() const { return initialised_.load() != 0; }
    std::atomic<std::uint32_t>& ClipboardChanged() { return clipboardChanged_; }

    // The sleep between open attempts; a test may count them instead of sleeping.
    using SleepFn = std::function<void(std::uint32_t ms)>;
    void SetSleepForTest(SleepFn sleep) { sleep_ = std::move(sleep); }

private:
    bool OnWindowEvent(platform::WindowHandle window, const platform::WindowEvent& event,
                       std::intptr_t& result) override;
    bool HandleWindowEvent(platform::WindowHandle window, const platform::WindowEvent& event, std::intptr_t& result);
    static std::uint32_t ThreadEntry(void* self);
    std::uint32_t WindowThread();
    bool RegisterWindowClass();
    platform::DeviceNotifyHandle RegisterInterfaceNotification(const Guid& interfaceClass);
    bool PostName(std::uint32_t message, const char* shareName);

    SyncToHostFn onSyncToHost_;
    DeviceChangeFn onDeviceChange_;
    CreateShareNameFn createShareName_;
    SendShareMessageFn sendShareMessage_;
    std::atomic<std::uint32_t> initialised_{0};
    std::atomic<platform::WindowHandle> hwnd_{nullptr};
    platform::ModuleHandle hInstance_ = nullptr;
    platform::SyncHandle thread_ = nullptr;
    platform::SyncHandle readyEvent_ = nullptr;
    platform::DeviceNotifyHandle serialPortNotify_ = nullptr;
    platform::DeviceNotifyHandle fsDeviceNotify_ = nullptr;
    std::atomic<std::uint32_t> clipboardChanged_{0};
    SleepFn sleep_;
};

}  // namespace quor
