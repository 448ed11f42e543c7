#include "quorsharemgr/platform/Clipboard.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "quorsharemgr/platform/posix/SimClipboard.h"
#include "quorsharemgr/platform/posix/SimCom.h"
#include "quorsharemgr/platform/posix/SimDesktop.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

using sim::SimClipboard;

SimClipboard::Opener Caller(WindowHandle window)
{
    return SimClipboard::Opener{reinterpret_cast<std::uintptr_t>(window),
                                window == nullptr ? std::this_thread::get_id() : std::thread::id()};
}

// Under the lock: whether the calling thread's window has the clipboard open. Windows ties
// the open clipboard to the opening thread.
bool OpenedByCaller(SimClipboard& c)
{
    return c.open && (c.opener.thread == std::this_thread::get_id() || c.opener.thread == std::thread::id());
}

std::u16string Upper(const char16_t* name)
{
    std::u16string s(name);
    for (char16_t& ch : s) {
        if (ch >= u'a' && ch <= u'z') {
            ch = static_cast<char16_t>(ch - u'a' + u'A');
        }
    }
    return s;
}

void Changed(SimClipboard& c)
{
    ++c.sequence;
    c.changed = true;
}

}  // namespace

bool OpenClipboard(WindowHandle window)
{
    sim::EnsureDesktopControl();
    if (sim::FailsAt("Clipboard.OpenClipboard")) {
        return false;
    }
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    const SimClipboard::Opener who = Caller(window);
    if (c.open && !(c.opener == who)) {
        sim::SetLastError(kErrorAccessDenied);
        return false;
    }
    if (!c.open) {
        c.changed = false;
    }
    c.open = true;
    c.opener = who;
    return true;
}

bool CloseClipboard()
{
    sim::EnsureDesktopControl();
    std::vector<std::uintptr_t> tell;
    std::uint32_t sequence = 0;
    {
        auto& c = SimClipboard::Get();
        std::lock_guard<std::mutex> g(c.m);
        c.SyncWithMachine();
        if (!c.open) {
            sim::SetLastError(kErrorClipboardNotOpen);
            return false;
        }
        c.open = false;
        c.opener = {};
        if (c.changed) {
            tell.assign(c.listeners.begin(), c.listeners.end());
            sequence = c.sequence;
            c.changed = false;
        }
    }
    for (const std::uintptr_t window : tell) {
        sim::SimEvent ev;
        ev.kind = sim::SimEvent::Kind::ClipboardUpdate;
        ev.handle = static_cast<std::intptr_t>(window);
        ev.status = sequence;
        sim::SimMachine::Get().Events().Publish(ev);
    }
    return true;
}

bool EmptyClipboard()
{
    sim::EnsureDesktopControl();
    bool replacedOle = false;
    {
        auto& c = SimClipboard::Get();
        std::lock_guard<std::mutex> g(c.m);
        c.SyncWithMachine();
        if (!OpenedByCaller(c)) {
            sim::SetLastError(kErrorClipboardNotOpen);
            return false;
        }
        for (const auto& [format, block] : c.formats) {
            c.FreeBlock(block);
        }
        c.formats.clear();
        replacedOle = c.owner == sim::kOleClipboardWindow && c.opener.window != sim::kOleClipboardWindow;
        c.owner = c.opener.window;
        Changed(c);
    }
    // The OLE clipboard's object loses its place to another application's data.
    if (replacedOle) {
        sim::OleClipboardReplaced();
    }
    return true;
}

MemHandle SetClipboardData(std::uint32_t format, MemHandle block)
{
    sim::EnsureDesktopControl();
    if (sim::FailsAt("Clipboard.SetClipboardData")) {
        return nullptr;
    }
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    if (!OpenedByCaller(c)) {
        sim::SetLastError(kErrorClipboardNotOpen);
        return nullptr;
    }
    const auto id = reinterpret_cast<std::uintptr_t>(block);
    if (c.blocks.find(id) == c.blocks.end()) {
        sim::SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    auto it = std::find_if(c.formats.begin(), c.formats.end(), [&](const auto& f) { return f.first == format; });
    if (it != c.formats.end()) {
        if (it->second != id) {
            c.FreeBlock(it->second);
        }
        it->second = id;
    } else {
        c.formats.emplace_back(format, id);
    }
    Changed(c);
    return block;
}

MemHandle GetClipboardData(std::uint32_t format)
{
    sim::EnsureDesktopControl();
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    if (!OpenedByCaller(c)) {
        sim::SetLastError(kErrorClipboardNotOpen);
        return nullptr;
    }
    for (const auto& [f, block] : c.formats) {
        if (f == format) {
            return reinterpret_cast<MemHandle>(block);
        }
    }
    sim::SetLastError(kErrorSuccess);
    return nullptr;
}

std::uint32_t EnumClipboardFormats(std::uint32_t after)
{
    sim::EnsureDesktopControl();
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    if (!OpenedByCaller(c)) {
        sim::SetLastError(kErrorClipboardNotOpen);
        return 0;
    }
    sim::SetLastError(kErrorSuccess);
    bool next = after == 0;
    for (const auto& [f, block] : c.formats) {
        if (next) {
            return f;
        }
        next = f == after;
    }
    return 0;
}

std::uint32_t RegisterClipboardFormatW(const char16_t* name)
{
    sim::EnsureDesktopControl();
    if (name == nullptr || *name == u'\0') {
        sim::SetLastError(kErrorInvalidParameter);
        return 0;
    }
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    const std::u16string key = Upper(name);
    auto it = c.registered.find(key);
    if (it != c.registered.end()) {
        return it->second;
    }
    const std::uint32_t id = c.nextRegistered++;
    c.registered[key] = id;
    c.names[id] = name;
    return id;
}

std::u16string GetClipboardFormatNameW(std::uint32_t format)
{
    sim::EnsureDesktopControl();
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    auto it = c.names.find(format);
    return it == c.names.end() ? std::u16string() : it->second;
}

std::uint32_t GetClipboardSequenceNumber()
{
    sim::EnsureDesktopControl();
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    return c.sequence;
}

bool AddClipboardFormatListener(WindowHandle window)
{
    sim::EnsureDesktopControl();
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    if (window == nullptr) {
        sim::SetLastError(kErrorInvalidHandle);
        return false;
    }
    c.listeners.insert(reinterpret_cast<std::uintptr_t>(window));
    return true;
}

bool RemoveClipboardFormatListener(WindowHandle window)
{
    sim::EnsureDesktopControl();
    auto& c = SimClipboard::Get();
    std::lock_guard<std::mutex> g(c.m);
    c.SyncWithMachine();
    if (c.listeners.erase(reinterpret_cast<std::uintptr_t>(window)) == 0) {
        sim::SetLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

}  // namespace quor::platform
