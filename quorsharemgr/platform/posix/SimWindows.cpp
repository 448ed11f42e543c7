#include "quorsharemgr/platform/posix/SimWindows.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "quorsharemgr/DeviceBroadcast.h"
#include "quorsharemgr/platform/DeviceNotify.h"
#include "quorsharemgr/platform/Window.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "shared/lib/platform/posix/SimSerialPort.h"

namespace quor::platform {

namespace {

struct Sent {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::intptr_t result = 0;
};

struct Item {
    WindowHandle window = nullptr;
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::shared_ptr<std::vector<unsigned char>> record;  // WM_DEVICECHANGE's record
    std::shared_ptr<Sent> sent;
    std::function<void()> work;
};

struct Queue {
    std::deque<Item> items;
    bool quit = false;
};

struct Window {
    std::thread::id thread;
    WindowSink* sink = nullptr;
};

struct Registration {
    WindowHandle window;
    bool byHandle;
    Guid guid;
    std::intptr_t handle;
};

struct Desktop {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::thread::id, Queue> queues;
    std::map<std::uintptr_t, Window> windows;
    std::uintptr_t nextWindow = 0x20000;
    std::map<std::u16string, std::uint32_t> messages;
    std::uint32_t nextMessage = 0xC100;
    std::map<std::uintptr_t, Registration> registrations;
    std::uintptr_t nextRegistration = 0x30000;
    std::uint64_t seenResets = ~0ULL;
    int token = 0;
};

Desktop& D()
{
    static Desktop d;
    return d;
}

void OnMachineEvent(const sim::SimEvent& e);

// Under d.m: start afresh after a reset of the machine and listen on its bus.
void Sync(Desktop& d)
{
    const std::uint64_t resets = sim::SimMachine::Get().ResetCount();
    if (resets == d.seenResets) {
        return;
    }
    d.seenResets = resets;
    d.windows.clear();
    d.registrations.clear();
    d.token = sim::SimMachine::Get().Events().Subscribe(OnMachineEvent);
}

// Under d.m.
bool PostLocked(Desktop& d, Item item)
{
    const auto w = d.windows.find(reinterpret_cast<std::uintptr_t>(item.window));
    if (w == d.windows.end()) {
        return false;
    }
    d.queues[w->second.thread].items.push_back(std::move(item));
    d.cv.notify_all();
    return true;
}

std::shared_ptr<std::vector<unsigned char>> InterfaceRecord(const Guid& cls, const std::u16string& path)
{
    auto r = std::make_shared<std::vector<unsigned char>>(28 + (path.size() + 1) * 2, 0);
    DeviceInterfaceRecord head{};
    head.size = static_cast<std::uint32_t>(r->size());
    head.deviceType = kDbtDevtypDeviceInterface;
    head.classGuid = cls;
    std::memcpy(r->data(), &head, 28);
    std::memcpy(r->data() + 28, path.data(), path.size() * 2);
    return r;
}

// The record of a removal sent to a handle's registrations: no event, no data.
std::shared_ptr<std::vector<unsigned char>> RemovalRecord(std::intptr_t handle)
{
    auto r = std::make_shared<std::vector<unsigned char>>(kDeviceHandleRecordSize, 0);
    DeviceHandleRecord rec{};
    rec.size = static_cast<std::uint32_t>(r->size());
    rec.deviceType = kDbtDevtypHandle;
    rec.handle = static_cast<std::uint64_t>(handle);
    std::memcpy(r->data(), &rec, r->size());
    return r;
}

std::shared_ptr<std::vector<unsigned char>> HandleRecord(std::intptr_t handle, std::uint32_t status)
{
    auto r = std::make_shared<std::vector<unsigned char>>(sizeof(DeviceHandleRecord), 0);
    DeviceHandleRecord rec{};
    rec.size = static_cast<std::uint32_t>(r->size());
    rec.deviceType = kDbtDevtypHandle;
    rec.handle = static_cast<std::uint64_t>(handle);
    rec.eventGuid = kPortStatusEvent;
    rec.nameOffset = -1;
    std::memcpy(rec.data + 4, &status, 4);  // the status word sits at offset 56
    std::memcpy(r->data(), &rec, sizeof rec);
    return r;
}

void OnMachineEvent(const sim::SimEvent& e)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    switch (e.kind) {
    case sim::SimEvent::Kind::ClipboardUpdate: {
        Item it;
        it.window = reinterpret_cast<WindowHandle>(e.handle);
        it.message = kWmClipboardUpdate;
        (void)PostLocked(d, std::move(it));
        break;
    }
    case sim::SimEvent::Kind::DeviceArrival:
    case sim::SimEvent::Kind::DeviceRemoval: {
        const Guid cls = e.device == sim::DeviceClass::SerialPort ? kSerialPortClass : kVirtioFsClass;
        // An open port that goes away first asks its handle's registrations to let it go.
        const PortHandle open = e.kind == sim::SimEvent::Kind::DeviceRemoval && e.device == sim::DeviceClass::SerialPort
                                    ? sim::OpenSerialPort(e.hostIndex)
                                    : kInvalidPort;
        for (const auto& [id, r] : d.registrations) {
            if (open != kInvalidPort && r.byHandle && r.handle == open) {
                Item it;
                it.window = r.window;
                it.message = kWmDeviceChange;
                it.wParam = kDbtDeviceQueryRemove;
                it.record = RemovalRecord(open);
                it.lParam = reinterpret_cast<std::intptr_t>(it.record->data());
                (void)PostLocked(d, std::move(it));
            }
        }
        for (const auto& [id, r] : d.registrations) {
            if (!r.byHandle && r.guid == cls) {
                Item it;
                it.window = r.window;
                it.message = kWmDeviceChange;
                it.wParam = e.kind == sim::SimEvent::Kind::DeviceArrival ? kDbtDeviceArrival : kDbtDeviceRemoveComplete;
                it.record = InterfaceRecord(cls, e.devicePath);
                it.lParam = reinterpret_cast<std::intptr_t>(it.record->data());
                (void)PostLocked(d, std::move(it));
            }
        }
        break;
    }
    case sim::SimEvent::Kind::PortStatus:
        for (const auto& [id, r] : d.registrations) {
            if (r.byHandle && r.handle == e.handle && r.guid == kPortStatusEvent) {
                Item it;
                it.window = r.window;
                it.message = kWmDeviceChange;
                it.wParam = kDbtCustomEvent;
                it.record = HandleRecord(e.handle, e.status);
                it.lParam = reinterpret_cast<std::intptr_t>(it.record->data());
                (void)PostLocked(d, std::move(it));
            }
        }
        break;
    }
}

// The seam's window procedure: the sink decides, the default procedure otherwise.
std::intptr_t Dispatch(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    WindowSink* sink = nullptr;
    {
        Desktop& d = D();
        std::lock_guard<std::mutex> g(d.m);
        const auto w = d.windows.find(reinterpret_cast<std::uintptr_t>(window));
        if (w == d.windows.end()) {
            return 0;
        }
        sink = w->second.sink;
    }
    if (sink != nullptr) {
        const WindowEvent e = WindowEvent::Of(message, wParam, lParam);
        std::intptr_t result = 0;
        if (sink->OnWindowEvent(window, e, result)) {
            return result;
        }
    } else if (message == kWmDestroy) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Run(Item& it)
{
    if (it.work) {
        it.work();
        return;
    }
    const std::intptr_t r = Dispatch(it.window, it.message, it.wParam, it.lParam);
    if (it.sent) {
        std::lock_guard<std::mutex> g(it.sent->m);
        it.sent->result = r;
        it.sent->done = true;
        it.sent->cv.notify_all();
    }
}

}  // namespace

std::uint32_t RegisterWindowMessageW(const char16_t* name)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    const auto [it, added] = d.messages.emplace(name, d.nextMessage);
    if (added) {
        ++d.nextMessage;
    }
    return it->second;
}

ModuleHandle GetModuleHandleW() { return reinterpret_cast<ModuleHandle>(0x400000); }

bool RegisterClassExW(ModuleHandle, const char16_t*)
{
    if (sim::FailsAt("Window.RegisterClassExW")) {
        return false;
    }
    return true;
}

WindowHandle CreateWindowExW(ModuleHandle, const char16_t*, void*)
{
    if (sim::FailsAt("Window.CreateWindowExW")) {
        return nullptr;
    }
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    Sync(d);
    const std::uintptr_t id = d.nextWindow;
    d.nextWindow += 0x10;
    d.windows[id] = Window{std::this_thread::get_id(), nullptr};
    Queue& q = d.queues[std::this_thread::get_id()];
    q.quit = false;
    return reinterpret_cast<WindowHandle>(id);
}

bool DestroyWindow(WindowHandle window)
{
    Desktop& d = D();
    {
        std::lock_guard<std::mutex> g(d.m);
        const auto w = d.windows.find(reinterpret_cast<std::uintptr_t>(window));
        if (w == d.windows.end()) {
            sim::SetLastError(kErrorInvalidWindowHandle);
            return false;
        }
        if (w->second.thread != std::this_thread::get_id()) {
            sim::SetLastError(kErrorAccessDenied);
            return false;
        }
    }
    (void)Dispatch(window, kWmDestroy, 0, 0);
    std::lock_guard<std::mutex> g(d.m);
    d.windows.erase(reinterpret_cast<std::uintptr_t>(window));
    for (auto it = d.registrations.begin(); it != d.registrations.end();) {
        it = it->second.window == window ? d.registrations.erase(it) : std::next(it);
    }
    return true;
}

void SetWindowSink(WindowHandle window, WindowSink* sink)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    const auto w = d.windows.find(reinterpret_cast<std::uintptr_t>(window));
    if (w != d.windows.end()) {
        w->second.sink = sink;
    }
}

void ShowWindowHidden(WindowHandle) {}

void RunMessageLoop()
{
    Desktop& d = D();
    const std::thread::id self = std::this_thread::get_id();
    for (;;) {
        Item it;
        {
            std::unique_lock<std::mutex> l(d.m);
            Queue& q = d.queues[self];
            d.cv.wait(l, [&] { return !q.items.empty() || q.quit; });
            if (q.items.empty()) {
                q.quit = false;
                break;
            }
            it = std::move(q.items.front());
            q.items.pop_front();
        }
        Run(it);
    }
    // Nobody takes this thread's messages any more: answer senders that still wait.
    std::deque<Item> left;
    {
        std::lock_guard<std::mutex> g(d.m);
        left.swap(d.queues[self].items);
        d.queues.erase(self);
    }
    for (Item& it : left) {
        if (it.work) {
            it.work();
        } else if (it.sent) {
            std::lock_guard<std::mutex> g(it.sent->m);
            it.sent->done = true;
            it.sent->cv.notify_all();
        }
    }
}

bool PostMessageW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    Item it;
    it.window = window;
    it.message = message;
    it.wParam = wParam;
    it.lParam = lParam;
    if (!PostLocked(d, std::move(it))) {
        sim::SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    return true;
}

std::intptr_t SendMessageW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    Desktop& d = D();
    auto sent = std::make_shared<Sent>();
    {
        std::lock_guard<std::mutex> g(d.m);
        const auto w = d.windows.find(reinterpret_cast<std::uintptr_t>(window));
        if (w == d.windows.end()) {
            sim::SetLastError(kErrorInvalidWindowHandle);
            return 0;
        }
        if (w->second.thread != std::this_thread::get_id()) {
            Item it;
            it.window = window;
            it.message = message;
            it.wParam = wParam;
            it.lParam = lParam;
            it.sent = sent;
            d.queues[w->second.thread].items.push_front(std::move(it));  // sent messages go first
            d.cv.notify_all();
        } else {
            sent.reset();
        }
    }
    if (!sent) {
        return Dispatch(window, message, wParam, lParam);
    }
    std::unique_lock<std::mutex> l(sent->m);
    sent->cv.wait(l, [&] { return sent->done; });
    return sent->result;
}

void PostQuitMessage(int)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    d.queues[std::this_thread::get_id()].quit = true;
    d.cv.notify_all();
}

std::intptr_t DefWindowProcW(WindowHandle window, std::uint32_t message, std::uintptr_t, std::intptr_t)
{
    if (message == kWmClose) {
        (void)DestroyWindow(window);
    }
    return 0;
}

DeviceNotifyHandle RegisterInterfaceNotification(WindowHandle window, const Guid& interfaceClass)
{
    if (sim::FailsAt("DeviceNotify.RegisterDeviceNotificationW")) {
        return nullptr;
    }
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    if (d.windows.count(reinterpret_cast<std::uintptr_t>(window)) == 0) {
        sim::SetLastError(kErrorInvalidWindowHandle);
        return nullptr;
    }
    const std::uintptr_t id = d.nextRegistration++;
    d.registrations[id] = Registration{window, false, interfaceClass, 0};
    return reinterpret_cast<DeviceNotifyHandle>(id);
}

DeviceNotifyHandle RegisterHandleNotification(WindowHandle window, std::intptr_t handle, const Guid& eventGuid)
{
    if (sim::FailsAt("DeviceNotify.RegisterDeviceNotificationW")) {
        return nullptr;
    }
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    if (d.windows.count(reinterpret_cast<std::uintptr_t>(window)) == 0) {
        sim::SetLastError(kErrorInvalidWindowHandle);
        return nullptr;
    }
    const std::uintptr_t id = d.nextRegistration++;
    d.registrations[id] = Registration{window, true, eventGuid, handle};
    return reinterpret_cast<DeviceNotifyHandle>(id);
}

bool UnregisterDeviceNotification(DeviceNotifyHandle notify)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    if (d.registrations.erase(reinterpret_cast<std::uintptr_t>(notify)) == 0) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

namespace sim {

bool PostWork(std::thread::id thread, std::function<void()> work)
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    const auto q = d.queues.find(thread);
    if (q == d.queues.end()) {
        return false;
    }
    Item it;
    it.work = std::move(work);
    q->second.items.push_back(std::move(it));
    d.cv.notify_all();
    return true;
}

std::size_t WindowCount()
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    return d.windows.size();
}

std::size_t DeviceRegistrations()
{
    Desktop& d = D();
    std::lock_guard<std::mutex> g(d.m);
    return d.registrations.size();
}

}  // namespace sim

}  // namespace quor::platform
