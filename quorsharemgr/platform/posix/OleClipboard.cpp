#include "quorsharemgr/platform/OleClipboard.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/DropFiles.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/GlobalMemory.h"
#include "quorsharemgr/platform/posix/SimCom.h"
#include "quorsharemgr/platform/posix/SimWindows.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

struct Ole {
    std::mutex m;
    std::set<std::thread::id> initialised;
    sim::SimUnknown* held = nullptr;
    std::thread::id setter;
    std::uint64_t seenResets = ~0ULL;
};

Ole& O()
{
    static Ole o;
    return o;
}

// Under o.m.
void Sync(Ole& o)
{
    const std::uint64_t r = sim::SimMachine::Get().ResetCount();
    if (r != o.seenResets) {
        o.seenResets = r;
        o.held = nullptr;  // a reset machine forgets its desktop
        o.initialised.clear();
    }
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The CF_HDROP rendering of the shell items, UTF-16 paths.
MemHandle DropBlock(const std::vector<std::string>& items)
{
    std::vector<unsigned char> b(sizeof(DropFiles), 0);
    DropFiles h{};
    h.pFiles = sizeof(DropFiles);
    h.fWide = 1;
    std::memcpy(b.data(), &h, sizeof h);
    for (const std::string& item : items) {
        for (const char16_t c : Wide(item)) {
            b.push_back(static_cast<unsigned char>(c & 0xFF));
            b.push_back(static_cast<unsigned char>(c >> 8));
        }
        b.push_back(0);
        b.push_back(0);
    }
    b.push_back(0);
    b.push_back(0);
    MemHandle block = GlobalAlloc(b.size());
    if (block != nullptr) {
        std::memcpy(GlobalLock(block), b.data(), b.size());
        (void)GlobalUnlock(block);
    }
    return block;
}

// Drops the clipboard's reference on the thread that set the object.
void ReleaseHeld(sim::SimUnknown* held, std::thread::id setter)
{
    if (held == nullptr) {
        return;
    }
    if (setter == std::this_thread::get_id() || !sim::PostWork(setter, [held] { held->Release(); })) {
        held->Release();
    }
}

}  // namespace

std::int32_t OleInitialize()
{
    Ole& o = O();
    std::lock_guard<std::mutex> g(o.m);
    Sync(o);
    return o.initialised.insert(std::this_thread::get_id()).second ? kSOk : kSFalse;
}

void OleUninitialize()
{
    Ole& o = O();
    std::lock_guard<std::mutex> g(o.m);
    Sync(o);
    o.initialised.erase(std::this_thread::get_id());
    if (o.setter == std::this_thread::get_id()) {
        // As on Windows, the object set and not flushed is let go without its release:
        // its reference is leaked.
        o.held = nullptr;
    }
}

std::int32_t OleSetClipboard(void* dataObject)
{
    if (sim::FailsAt("OleClipboard.OleSetClipboard")) {
        return kEFail;
    }
    auto* obj = static_cast<sim::SimUnknown*>(dataObject);
    Ole& o = O();
    {
        std::lock_guard<std::mutex> g(o.m);
        Sync(o);
        if (o.initialised.count(std::this_thread::get_id()) == 0) {
            return static_cast<std::int32_t>(0x800401F0);  // CO_E_NOTINITIALIZED
        }
    }
    const auto window = reinterpret_cast<WindowHandle>(sim::kOleClipboardWindow);
    if (!OpenClipboard(window)) {
        return static_cast<std::int32_t>(0x800401D0);  // CLIPBRD_E_CANT_OPEN
    }
    sim::SimUnknown* old = nullptr;
    std::thread::id oldSetter;
    {
        std::lock_guard<std::mutex> g(o.m);
        old = o.held;
        oldSetter = o.setter;
        o.held = nullptr;  // emptying below is OLE's own, not a replacement
    }
    (void)EmptyClipboard();
    if (obj != nullptr) {
        obj->AddRef();
        const MemHandle block = DropBlock(obj->Items());
        if (block != nullptr) {
            (void)SetClipboardData(kCfHdrop, block);
        }
        std::lock_guard<std::mutex> g(o.m);
        o.held = obj;
        o.setter = std::this_thread::get_id();
    }
    (void)CloseClipboard();
    ReleaseHeld(old, oldSetter);
    return kSOk;
}

std::int32_t OleFlushClipboard()
{
    sim::SimUnknown* held = nullptr;
    {
        Ole& o = O();
        std::lock_guard<std::mutex> g(o.m);
        Sync(o);
        held = o.held;
        o.held = nullptr;
    }
    if (held != nullptr) {
        held->Release();
    }
    return kSOk;
}

namespace sim {

SimUnknown* HeldObject()
{
    Ole& o = O();
    std::lock_guard<std::mutex> g(o.m);
    Sync(o);
    if (o.held != nullptr) {
        o.held->AddRef();
    }
    return o.held;
}

void OleClipboardReplaced()
{
    SimUnknown* held = nullptr;
    std::thread::id setter;
    {
        Ole& o = O();
        std::lock_guard<std::mutex> g(o.m);
        Sync(o);
        held = o.held;
        setter = o.setter;
        o.held = nullptr;
    }
    ReleaseHeld(held, setter);
}

}  // namespace sim

}  // namespace quor::platform
