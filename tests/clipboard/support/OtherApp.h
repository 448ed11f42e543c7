// Test support: another application on the desktop, on either platform: a thread of its
// own with its own window and message loop, built on the program's window seam. An
// application that owns the clipboard must keep pumping (emptying the clipboard sends its
// owner a message and waits for the answer), so every clipboard call of the application
// runs as a job on that thread, one at a time, while the loop goes on between jobs.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "quorsharemgr/platform/Window.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"

namespace quortest {

class OtherApp final : public quor::platform::WindowSink {
public:
    OtherApp();
    ~OtherApp();
    OtherApp(const OtherApp&) = delete;
    OtherApp& operator=(const OtherApp&) = delete;

    quor::platform::WindowHandle Window() const { return window_; }
    // Runs `job` on the application's thread and waits until it has returned.
    void Run(const std::function<void(quor::platform::WindowHandle)>& job);

    // Copies: open, empty, set each format, close.
    void Sets(const std::vector<std::pair<std::uint32_t, Bytes>>& formats);
    // The bytes of `format` (the whole block), empty when the clipboard has none.
    Bytes Gets(std::uint32_t format);
    // Opens the clipboard and keeps it open until Release.
    bool HoldOpen();
    bool Release();

private:
    bool OnWindowEvent(quor::platform::WindowHandle window, const quor::platform::WindowEvent& event,
                       std::intptr_t& result) override;
    void Loop();

    std::uint32_t jobMessage_ = 0;
    quor::platform::WindowHandle window_ = nullptr;
    std::thread thread_;
};

}  // namespace quortest
