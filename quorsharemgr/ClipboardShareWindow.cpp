#include "quorsharemgr/ClipboardShareWindow.h"

#include <exception>
#include <string>
#include <vector>

#include "quorsharemgr/BitmapSendProcess.h"
#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/DeviceBroadcast.h"
#include "quorsharemgr/FilesSendProcess.h"
#include "quorsharemgr/ShareDataObject.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/TextHtmlSendProcess.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/OleClipboard.h"
#include "quorsharemgr/platform/ShellItems.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/SerialPort.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"

namespace quor {

namespace {

constexpr char16_t kClassName[] = u"ClipboardShareWnd";
constexpr char kServer[] = "\\\\Velt";

// Registered before main runs, as the window class's users expect.
const std::uint32_t g_syncMessage = platform::RegisterWindowMessageW(u"SyncClipboardDataToHost");
const std::uint32_t g_putFilesMessage = platform::RegisterWindowMessageW(u"ClipboardPutFiles");
const std::uint32_t g_deleteShareMessage = platform::RegisterWindowMessageW(u"DeleteShareName");

}  // namespace

std::uint32_t SyncClipboardDataToHostMessage() { return g_syncMessage; }
std::uint32_t ClipboardPutFilesMessage() { return g_putFilesMessage; }
std::uint32_t DeleteShareNameMessage() { return g_deleteShareMessage; }

ClipboardShareWindow::ClipboardShareWindow(SyncToHostFn onSyncToHost, DeviceChangeFn onDeviceChange,
                                           CreateShareNameFn createShareName, SendShareMessageFn sendShareMessage)
    : onSyncToHost_(std::move(onSyncToHost)),
      onDeviceChange_(std::move(onDeviceChange)),
      createShareName_(std::move(createShareName)),
      sendShareMessage_(std::move(sendShareMessage))
{
}

ClipboardShareWindow::~ClipboardShareWindow()
{
    Destroy();
    onSyncToHost_ = nullptr;
    onDeviceChange_ = nullptr;
    createShareName_ = nullptr;
    sendShareMessage_ = nullptr;
}

std::uint32_t ClipboardShareWindow::Init()
{
    if (IsInitialised()) {
        return platform::kErrorAlreadyInitialized;
    }
    hInstance_ = platform::GetModuleHandleW();
    readyEvent_ = platform::CreateEventW(false);
    if (readyEvent_ == nullptr) {
        const std::uint32_t e = platform::LastError();
        QLOG(kLogError, "CreateEvent failed with error: {}", e);
        return e;
    }
    thread_ = platform::CreateThread(&ClipboardShareWindow::ThreadEntry, this);
    if (thread_ == nullptr) {
        const std::uint32_t e = platform::LastError();
        QLOG(kLogError, "CreateThread failed with error: {}", e);
        (void)platform::CloseHandle(readyEvent_);
        readyEvent_ = nullptr;
        return e;
    }
    const platform::SyncHandle handles[2] = {readyEvent_, thread_};
    const std::uint32_t r = platform::WaitForMultipleObjects(2, handles, platform::kInfinite);
    if (r == platform::kWaitObject0) {
        (void)platform::CloseHandle(readyEvent_);
        readyEvent_ = nullptr;
        initialised_.store(1);
        QLOG(kLogInfo, "Clipboard Share Window Init Completed");
        return 0;
    }
    std::uint32_t code = 0;
    if (!platform::GetExitCodeThread(thread_, code)) {
        code = platform::LastError();
    }
    QLOG(kLogError, "Clipboard Share Window Init Failed!");
    (void)platform::CloseHandle(readyEvent_);
    (void)platform::CloseHandle(thread_);
    readyEvent_ = nullptr;
    thread_ = nullptr;
    hwnd_.store(nullptr);
    return code;
}

std::uint32_t ClipboardShareWindow::ThreadEntry(void* self) { return static_cast<ClipboardShareWindow*>(self)->WindowThread(); }

bool ClipboardShareWindow::RegisterWindowClass()
{
    if (platform::RegisterClassExW(hInstance_, kClassName)) {
        return true;
    }
    // The class stays registered for the life of the process: a window made again after
    // Destroy uses the class of the first Init.
    if (platform::LastError() == platform::kErrorClassAlreadyExists) {
        return true;
    }
    QLOG(kLogError, "RegisterClassEx failed with error: {}", platform::LastError());
    return false;
}

std::uint32_t ClipboardShareWindow::WindowThread()
{
    if (!RegisterWindowClass()) {
        const std::uint32_t e = platform::LastError();
        QLOG(kLogError, "Register Clipboard share Window failed");
        return e;
    }
    platform::WindowHandle hwnd = platform::CreateWindowExW(hInstance_, kClassName, this);
    if (hwnd == nullptr) {
        const std::uint32_t e = platform::LastError();
        QLOG(kLogError, "CreateWindow failed with error: {}", e);
        return e;
    }
    hwnd_.store(hwnd);
    const std::int32_t hr = platform::OleInitialize();
    if (hr != platform::kSOk) {
        if (hr == platform::kSFalse) {
            platform::OleUninitialize();  // balance the extra initialisation it counted
        }
        (void)platform::DestroyWindow(hwnd);
        return static_cast<std::uint32_t>(hr);
    }
    platform::SetWindowSink(hwnd, this);
    serialPortNotify_ = RegisterInterfaceNotification(kSerialPortClass);
    fsDeviceNotify_ = RegisterInterfaceNotification(kVirtioFsClass);
    if (!platform::AddClipboardFormatListener(hwnd)) {
        const std::uint32_t e = platform::LastError();
        platform::OleUninitialize();
        (void)platform::DestroyWindow(hwnd);
        QLOG(kLogError, "AddClipboardFormatListener failed with error: {}", e);
        for (platform::DeviceNotifyHandle* n : {&serialPortNotify_, &fsDeviceNotify_}) {
            if (*n != nullptr) {
                (void)platform::UnregisterDeviceNotification(*n);
                *n = nullptr;
            }
        }
        return e;
    }
    platform::ShowWindowHidden(hwnd);
    (void)platform::SetEvent(readyEvent_);
    platform::RunMessageLoop();
    (void)platform::RemoveClipboardFormatListener(hwnd);
    // Host files still on the clipboard: OLE lets go of their data object only when
    // flushed, so that the host hears the share released before the program ends.
    (void)platform::OleFlushClipboard();
    platform::OleUninitialize();
    return 0;
}

platform::DeviceNotifyHandle ClipboardShareWindow::RegisterInterfaceNotification(const Guid& interfaceClass)
{
    platform::DeviceNotifyHandle n = platform::RegisterInterfaceNotification(Hwnd(), interfaceClass);
    if (n == nullptr) {
        QLOG(kLogError, "RegisterDeviceNotification failed with error: {}", platform::LastError());
    }
    return n;
}

platform::DeviceNotifyHandle ClipboardShareWindow::RegisterHandleNotification(std::intptr_t handle)
{
    if (handle == platform::kInvalidPort) {
        QLOG(kLogError, "Invalid handle value");
        return nullptr;
    }
    platform::DeviceNotifyHandle n = platform::RegisterHandleNotification(Hwnd(), handle, kPortStatusEvent);
    if (n == nullptr) {
        QLOG(kLogError, "RegisterDeviceNotification failed: {}", platform::LastError());
    }
    return n;
}

bool ClipboardShareWindow::OnWindowEvent(platform::WindowHandle window, const platform::WindowEvent& event,
                                         std::intptr_t& result)
{
    // Nothing may leave the window procedure by an exception: it would cross the system's
    // message dispatch and end the process. A handler that fails unexpectedly (a lock that
    // cannot be taken, memory that runs out) loses its message; the thread keeps running.
    // The clipboard is closed in case the handler left it open on this thread.
    try {
        return HandleWindowEvent(window, event, result);
    } catch (const std::exception& e) {
        QLOG(kLogError, "Window message {} failed with an exception: {}", event.message, e.what());
    } catch (...) {
        QLOG(kLogError, "Window message {} failed with an unknown exception", event.message);
    }
    (void)CloseClipboard();
    result = 0;
    return true;
}

bool ClipboardShareWindow::HandleWindowEvent(platform::WindowHandle window, const platform::WindowEvent& event,
                                             std::intptr_t& result)
{
    result = 0;
    switch (event.kind) {
    case platform::WindowEvent::Kind::Destroy:
        platform::PostQuitMessage(0);
        return true;
    case platform::WindowEvent::Kind::Close:
        (void)platform::DestroyWindow(window);
        return true;
    case platform::WindowEvent::Kind::DeviceChange:
        if (onDeviceChange_) {
            onDeviceChange_(event.wParam, event.lParam);
        }
        return true;
    case platform::WindowEvent::Kind::ClipboardUpdate:
        clipboardChanged_.store(1, std::memory_order_seq_cst);
        return true;
    case platform::WindowEvent::Kind::Other:
        break;
    }
    if (event.message == platform::kWmEndSession) {
        // The session ends (logoff, shutdown): a program that uses user32 hears of it here,
        // not through its console handler. The window goes, its thread ends, and the entry
        // point, which waits on that thread, shuts the program down as after any other end
        // of the window thread.
        if (event.wParam != 0) {
            QLOG(kLogInfo, "The session is ending: closing the clipboard window");
            (void)platform::DestroyWindow(window);
        }
        return true;
    }
    if (event.message == g_syncMessage) {
        if (onSyncToHost_) {
            onSyncToHost_();
        }
        return true;
    }
    if (event.message == g_putFilesMessage || event.message == g_deleteShareMessage) {
        std::unique_ptr<std::string> name(reinterpret_cast<std::string*>(event.lParam));
        const char* s = name != nullptr ? name->c_str() : nullptr;
        if (event.message == g_putFilesMessage) {
            (void)PutFilesToClipboard(s);
        } else {
            OnDeleteShareName(s);
        }
        return true;
    }
    return false;
}

void ClipboardShareWindow::Destroy(const WakeFn& wake)
{
    if (!IsInitialised()) {
        QLOG(kLogError, "Destroy failed: Window is not initialised");
        return;
    }
    for (platform::DeviceNotifyHandle* n : {&serialPortNotify_, &fsDeviceNotify_}) {
        if (*n != nullptr) {
            (void)platform::UnregisterDeviceNotification(*n);
            *n = nullptr;
        }
    }
    // Posted, not sent: a window thread held in a call that does not return (a port write,
    // a network enumeration, a file-size call) must not hold the caller past the bound. The
    // wake is tried at each slice after the first, so a thread blocked in the owner's I/O is
    // freed to see the close. A window that is already gone (the session ended) posts
    // nothing; its thread is ending on its own.
    (void)platform::PostMessageW(Hwnd(), platform::kWmClose, 0, 0);
    bool ended = false;
    for (std::uint32_t waited = 0; waited < kThreadStopMs && !ended; waited += kStopSliceMs) {
        ended = platform::WaitForSingleObject(thread_, kStopSliceMs) == platform::kWaitObject0;
        if (!ended && wake) {
            wake();
        }
    }
    if (!ended) {
        QLOG(kLogWarning, "Terminate Thread for Clipboard Window");
        (void)platform::TerminateThread(thread_, 0);
    }
    (void)platform::CloseHandle(thread_);
    hInstance_ = nullptr;
    thread_ = nullptr;
    hwnd_.store(nullptr);
    initialised_.store(0);
}

bool ClipboardShareWindow::OpenClipboardWithRetry(const std::atomic<bool>* stop)
{
    std::uint32_t error = 0;
    int attempts = 0;
    for (int k = 0; k < kOpenAttempts; ++k) {
        if (k > 0 && stop != nullptr && stop->load()) {
            QLOG(kLogWarning, "Opening the clipboard given up after {} attempts: the thread is stopping", attempts);
            return false;
        }
        // Without the window (Destroy cleared it, perhaps during the pauses), OpenClipboard
        // would open for no window, and emptying the clipboard then would wipe the user's
        // data without placing anything.
        const platform::WindowHandle hwnd = Hwnd();
        if (hwnd == nullptr) {
            QLOG(kLogError, "Clipboard window is gone: the clipboard is not opened");
            return false;
        }
        ++attempts;
        if (platform::OpenClipboard(hwnd)) {
            if (attempts > 1) {
                QLOG(kLogWarning, "{} times tried to open clipboard", attempts);
            }
            return true;
        }
        if (k == kOpenAttempts - 1) {
            error = platform::LastError();
        }
        const std::uint32_t ms = 1U << k;
        if (sleep_) {
            sleep_(ms);
        } else {
            platform::Sleep(ms);
        }
    }
    QLOG(kLogWarning, "{} times tried to open clipboard", attempts);
    QLOG(kLogError, "Failed to open clipboard with error: {}", error);
    return false;
}

bool ClipboardShareWindow::CloseClipboard()
{
    if (platform::CloseClipboard()) {
        return true;
    }
    const std::uint32_t e = platform::LastError();
    if (e == platform::kErrorClipboardNotOpen) {
        return true;
    }
    QLOG(kLogError, "Failed with error: {}", e);
    return false;
}

bool ClipboardShareWindow::EmptyClipboard()
{
    if (platform::EmptyClipboard()) {
        return true;
    }
    QLOG(kLogError, "Empty clipboard failed with error: {}", platform::LastError());
    return false;
}

std::unique_ptr<ShareSendProcess> ClipboardShareWindow::CreateSendProcess(std::uint32_t bits)
{
    switch (SelectSender(bits)) {
    case SenderKind::Files:
        return std::make_unique<FilesSendProcess>(createShareName_);
    case SenderKind::TextHtml:
        return std::make_unique<TextHtmlSendProcess>(bits, createShareName_, sendShareMessage_);
    case SenderKind::Bitmap:
        return std::make_unique<BitmapSendProcess>();
    case SenderKind::None:
        break;
    }
    return nullptr;
}

bool ClipboardShareWindow::PostName(std::uint32_t message, const char* shareName)
{
    // A null window would post to the caller's own queue, which nobody reads.
    const platform::WindowHandle hwnd = Hwnd();
    if (hwnd == nullptr) {
        QLOG(kLogError, "Clipboard window is gone: message {} not posted", message);
        return false;
    }
    auto* s = new std::string(shareName);
    if (!platform::PostMessageW(hwnd, message, 0, reinterpret_cast<std::intptr_t>(s))) {
        delete s;
        return false;
    }
    return true;
}

bool ClipboardShareWindow::PostClipboardPutFiles(const char* shareName)
{
    if (shareName == nullptr) {
        QLOG(kLogError, "Input parameters are invalid");
        return false;
    }
    return PostName(g_putFilesMessage, shareName);
}

bool ClipboardShareWindow::PostDeleteShareName(const char* shareName)
{
    if (shareName == nullptr) {
        QLOG(kLogError, "Share name is a null pointer");
        return false;
    }
    return PostName(g_deleteShareMessage, shareName);
}

void ClipboardShareWindow::OnDeleteShareName(const char* shareName)
{
    if (shareName == nullptr) {
        QLOG(kLogError, "share name is a null pointer");
        return;
    }
    if (sendShareMessage_) {
        sendShareMessage_(shareName, ShareFormatReleaseShareName);
    }
}

bool ClipboardShareWindow::PutFilesToClipboard(const char* shareName)
{
    if (shareName == nullptr) {
        QLOG(kLogError, "share name is a null pointer");
        return false;
    }
    // The name is UTF-8 from the host: the shell takes the path in UTF-16.
    const std::string path = std::string(kServer) + "\\" + shareName;
    const int units = platform::Utf8ToWideUnits(path.c_str(), nullptr, 0);
    std::u16string widePath(static_cast<std::size_t>(units > 0 ? units : 1), u'\0');
    if (units == 0 || platform::Utf8ToWideUnits(path.c_str(), widePath.data(), units) != units) {
        QLOG(kLogError, "Convert share path failed with error: {}", platform::LastError());
        return false;
    }
    platform::IdList pidl = platform::ILCreateFromPathW(widePath.c_str());
    if (pidl == nullptr) {
        QLOG(kLogError, "ILCreateFromPathA failed");
        return false;
    }
    platform::ShellFolder folder = nullptr;
    std::int32_t hr = platform::SHBindToObject(pidl, &folder);
    if (hr < 0) {
        QLOG(kLogError, "SHBindToObject failed with error: {}", hr);
        platform::ILFree(pidl);
        return false;
    }
    platform::ShellEnum items = nullptr;
    hr = platform::EnumObjects(folder, platform::kShcontfAll, &items);
    if (hr < 0) {
        QLOG(kLogError, "EnumObjects failed with error: {}", hr);
        platform::ReleaseFolder(folder);
        platform::ILFree(pidl);
        return false;
    }
    // S_FALSE without an enumerator: the share is empty, and an empty list is placed.
    std::vector<platform::IdList> children;
    if (items != nullptr) {
        platform::IdList child = nullptr;
        while (platform::EnumNext(items, &child) == platform::kSOk) {
            children.push_back(child);
        }
        platform::ReleaseEnum(items);
    }
    void* dataObject = nullptr;
    hr = platform::GetUIObjectOf(folder, Hwnd(), static_cast<std::uint32_t>(children.size()), children.data(),
                                 &dataObject);
    platform::ReleaseFolder(folder);
    for (platform::IdList c : children) {
        platform::ILFree(c);
    }
    platform::ILFree(pidl);
    if (hr < 0) {
        QLOG(kLogError, "GetUIObjectOf failed with error: {}", hr);
        return false;
    }
    return SetFilesDataObject(dataObject, shareName);
}

bool ClipboardShareWindow::SetFilesDataObject(void* dataObject, const char* shareName)
{
    if (dataObject == nullptr) {
        QLOG(kLogError, "obj is a null pointer");
        return false;
    }
    if (shareName == nullptr) {
        QLOG(kLogError, "share name is a null pointer");
        return false;
    }
    ShareDataObject* obj = ShareDataObject::Create(dataObject, shareName, sendShareMessage_);
    (void)platform::RemoveClipboardFormatListener(Hwnd());
    // OleSetClipboard opens the clipboard: while another application holds it open, it
    // fails. Retried as the clipboard open is: ten attempts, 1 to 512 ms apart.
    std::int32_t hr = platform::kSOk;
    int attempts = 0;
    for (int k = 0; k < kOpenAttempts; ++k) {
        ++attempts;
        hr = platform::OleSetClipboard(obj->Primary());
        if (hr == platform::kSOk || k == kOpenAttempts - 1) {
            break;
        }
        const std::uint32_t ms = 1U << k;
        if (sleep_) {
            sleep_(ms);
        } else {
            platform::Sleep(ms);
        }
    }
    (void)platform::AddClipboardFormatListener(Hwnd());
    if (attempts > 1) {
        QLOG(kLogWarning, "{} times tried to set the OLE clipboard", attempts);
    }
    if (hr != platform::kSOk) {
        QLOG(kLogError, "OleSetClipboard failed with error: {}", hr);
    }
    (void)obj->Release();
    return hr == platform::kSOk;
}

}  // namespace quor
