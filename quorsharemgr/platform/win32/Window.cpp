#include "quorsharemgr/platform/Window.h"

#include <windows.h>

namespace quor::platform {

namespace {

LRESULT CALLBACK SeamWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* sink = reinterpret_cast<WindowSink*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (sink != nullptr) {
        const WindowEvent e = WindowEvent::Of(message, wParam, lParam);
        std::intptr_t result = 0;
        if (sink->OnWindowEvent(hwnd, e, result)) {
            return result;
        }
    } else if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

std::uint32_t RegisterWindowMessageW(const char16_t* name)
{
    return ::RegisterWindowMessageW(reinterpret_cast<const wchar_t*>(name));
}
ModuleHandle GetModuleHandleW() { return ::GetModuleHandleW(nullptr); }
bool RegisterClassExW(ModuleHandle instance, const char16_t* className)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = SeamWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = static_cast<HINSTANCE>(instance);
    wc.hIcon = nullptr;
    wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW (its A spelling without UNICODE)
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = reinterpret_cast<const wchar_t*>(className);
    wc.hIconSm = nullptr;
    return ::RegisterClassExW(&wc) != 0;
}
WindowHandle CreateWindowExW(ModuleHandle instance, const char16_t* className, void* param)
{
    return ::CreateWindowExW(0, reinterpret_cast<const wchar_t*>(className), nullptr, WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, 0, 600, 600, nullptr, nullptr, static_cast<HINSTANCE>(instance), param);
}
bool DestroyWindow(WindowHandle window) { return ::DestroyWindow(static_cast<HWND>(window)) != FALSE; }
void SetWindowSink(WindowHandle window, WindowSink* sink)
{
    ::SetWindowLongPtrW(static_cast<HWND>(window), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(sink));
}
void ShowWindowHidden(WindowHandle window) { ::ShowWindow(static_cast<HWND>(window), SW_HIDE); }
void RunMessageLoop()
{
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}
bool PostMessageW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return ::PostMessageW(static_cast<HWND>(window), message, wParam, lParam) != FALSE;
}
std::intptr_t SendMessageW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return ::SendMessageW(static_cast<HWND>(window), message, wParam, lParam);
}
void PostQuitMessage(int code) { ::PostQuitMessage(code); }
std::intptr_t DefWindowProcW(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return ::DefWindowProcW(static_cast<HWND>(window), message, wParam, lParam);
}

}  // namespace quor::platform
