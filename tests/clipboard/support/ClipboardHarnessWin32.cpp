#include "tests/clipboard/support/ClipboardHarness.h"

#include <windows.h>

namespace quortest {

struct ClipboardHarness::Impl {
    HWND app = nullptr;
    HWND ours = nullptr;
};

ClipboardHarness::ClipboardHarness() : impl_(std::make_unique<Impl>())
{
    impl_->app = ::CreateWindowExW(0, L"STATIC", L"app", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    impl_->ours = ::CreateWindowExW(0, L"STATIC", L"ours", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

ClipboardHarness::~ClipboardHarness()
{
    if (::OpenClipboard(impl_->app)) {
        ::EmptyClipboard();
        ::CloseClipboard();
    }
    ::DestroyWindow(impl_->app);
    ::DestroyWindow(impl_->ours);
}

quor::platform::WindowHandle ClipboardHarness::AppWindow() const { return impl_->app; }
quor::platform::WindowHandle ClipboardHarness::OurWindow() const { return impl_->ours; }

}  // namespace quortest
