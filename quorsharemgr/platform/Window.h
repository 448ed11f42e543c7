// Platform seam: a hidden window of the calling thread, its message loop and registered
// messages. The system's window procedure lives in the seam and only translates: each
// message becomes a WindowEvent for the sink stored in the window's user-data slot, which
// decides; a message the sink does not take goes to the default procedure.
// win32: user32 one to one. posix: the simulated desktop (docs/simulation.md).
#pragma once

#include <cstdint>

namespace quor::platform {

using WindowHandle = void*;
using ModuleHandle = void*;

inline constexpr std::uint32_t kWmDestroy = 0x0002;
inline constexpr std::uint32_t kWmClose = 0x0010;
inline constexpr std::uint32_t kWmEndSession = 0x0016;
inline constexpr std::uint32_t kWmDeviceChange = 0x0219;
inline constexpr std::uint32_t kWmClipboardUpdate = 0x031D;

struct WindowEvent {
    enum class Kind { Destroy, Close, DeviceChange, ClipboardUpdate, Other };
    Kind kind = Kind::Other;
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;

    // The typed form of a message, as both platforms' window procedures hand it on.
    static WindowEvent Of(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
    {
        WindowEvent e;
        e.message = message;
        e.wParam = wParam;
        e.lParam = lParam;
        switch (message) {
        case kWmDestroy: e.kind = Kind::Destroy; break;
        case kWmClose: e.kind = Kind::Close; break;
        case kWmDeviceChange: e.kind = Kind::DeviceChange; break;
        case kWmClipboardUpdate: e.kind = Kind::ClipboardUpdate; break;
        default: e.kind = Kind::Other; break;
        }
        return e;
    }
};

class WindowSink {
public:
    // True when the event was handled (`result` is the procedure's result); false sends
    // the message to the default procedure.
    virtual bool OnWindowEvent(WindowHandle window, const WindowEvent& event, std::intptr_t& result) = 0;

protected:
    ~WindowSink() = default;
};

std::uint32_t RegisterWindowMessageW(const char16_t* name);  // 0 on failure
ModuleHandle GetModuleHandleW();
// RegisterClassExW (size 80, CS_HREDRAW | CS_VREDRAW, the seam's procedure, arrow cursor,
// COLOR_WINDOW + 1 brush); false on failure, last error set.
bool RegisterClassExW(ModuleHandle instance, const char16_t* className);
// CreateWindowExW(0, class, no title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 600, 600,
// no parent, no menu, instance, param); null on failure.
WindowHandle CreateWindowExW(ModuleHandle instance, const char16_t* className, void* param);
bool DestroyWindow(WindowHandle window);
// SetWindowLongPtrW(GWLP_USERDATA): events reach `sink` from now on.
void SetWindowSink(WindowHandle window, WindowSink* sink);
void ShowWindowHidden(WindowHandle window);
// GetMessageW / TranslateMessage / DispatchMessageW until GetMessageW returns 0 or -1.
void RunMessageLoop();
bool PostMessageW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
std::intptr_t SendMessageW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
void PostQuitMessage(int code);
std::intptr_t DefWindowProcW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

}  // namespace quor::platform
