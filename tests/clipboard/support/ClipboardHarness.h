// Test support: the clipboard of the platform the tests run on, with two windows: one for
// "another application" and one for the program. posix: a fresh simulated machine. win32:
// two message-only windows of the test thread on the real (or Wine's) clipboard.
#pragma once

#include <memory>

#include "quorsharemgr/platform/Clipboard.h"

namespace quortest {

class ClipboardHarness {
public:
    ClipboardHarness();
    ~ClipboardHarness();
    ClipboardHarness(const ClipboardHarness&) = delete;
    ClipboardHarness& operator=(const ClipboardHarness&) = delete;

    quor::platform::WindowHandle AppWindow() const;
    quor::platform::WindowHandle OurWindow() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quortest
