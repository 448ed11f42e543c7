#include "tests/clipboard/support/OtherApp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/GlobalMemory.h"
#include "tests/support/WaitUntil.h"

namespace quortest {

namespace p = quor::platform;

namespace {

constexpr char16_t kClass[] = u"QuorTestOtherApp";

struct Job {
    std::function<void(p::WindowHandle)> work;
    std::atomic<bool> done{false};
};

}  // namespace

OtherApp::OtherApp() : jobMessage_(p::RegisterWindowMessageW(u"QuorTestOtherAppJob"))
{
    std::atomic<p::WindowHandle> made{nullptr};
    std::atomic<bool> failed{false};
    thread_ = std::thread([&] {
        // The class outlives the first application of the process; a second registration fails.
        (void)p::RegisterClassExW(p::GetModuleHandleW(), kClass);
        p::WindowHandle w = p::CreateWindowExW(p::GetModuleHandleW(), kClass, nullptr);
        if (w == nullptr) {
            failed.store(true);
            return;
        }
        p::SetWindowSink(w, this);
        made.store(w);
        Loop();
    });
    EXPECT_TRUE(WaitUntil([&] { return made.load() != nullptr || failed.load(); }));
    window_ = made.load();
    EXPECT_NE(window_, nullptr) << "the other application has no window";
}

OtherApp::~OtherApp()
{
    if (window_ != nullptr) {
        (void)p::PostMessageW(window_, p::kWmClose, 0, 0);
    }
    thread_.join();
}

void OtherApp::Loop() { p::RunMessageLoop(); }

bool OtherApp::OnWindowEvent(p::WindowHandle window, const p::WindowEvent& event, std::intptr_t& result)
{
    result = 0;
    switch (event.kind) {
    case p::WindowEvent::Kind::Close:
        (void)p::DestroyWindow(window);
        return true;
    case p::WindowEvent::Kind::Destroy:
        p::PostQuitMessage(0);
        return true;
    default:
        break;
    }
    if (event.message == jobMessage_) {
        auto* job = reinterpret_cast<Job*>(event.lParam);
        job->work(window);
        job->done.store(true);
        return true;
    }
    return false;
}

void OtherApp::Run(const std::function<void(p::WindowHandle)>& job)
{
    ASSERT_NE(window_, nullptr);
    // Shared with the loop: a job that never ends must not leave it a dangling pointer.
    auto shared = std::make_shared<Job>();
    shared->work = job;
    static std::vector<std::shared_ptr<Job>> abandoned;
    ASSERT_TRUE(p::PostMessageW(window_, jobMessage_, 0, reinterpret_cast<std::intptr_t>(shared.get())));
    if (!WaitUntil([&] { return shared->done.load(); })) {
        abandoned.push_back(shared);
        FAIL() << "the other application did not finish its job";
    }
}

void OtherApp::Sets(const std::vector<std::pair<std::uint32_t, Bytes>>& formats)
{
    Run([&](p::WindowHandle w) { AppSets(w, formats); });
}

Bytes OtherApp::Gets(std::uint32_t format)
{
    Bytes out;
    Run([&](p::WindowHandle w) {
        if (!p::OpenClipboard(w)) {
            return;
        }
        if (p::MemHandle h = p::GetClipboardData(format); h != nullptr) {
            const auto* m = static_cast<const unsigned char*>(p::GlobalLock(h));
            if (m != nullptr) {
                out.assign(m, m + p::GlobalSize(h));
                (void)p::GlobalUnlock(h);
            }
        }
        (void)p::CloseClipboard();
    });
    return out;
}

bool OtherApp::HoldOpen()
{
    bool ok = false;
    Run([&](p::WindowHandle w) { ok = p::OpenClipboard(w); });
    return ok;
}

bool OtherApp::Release()
{
    bool ok = false;
    Run([&](p::WindowHandle) { ok = p::CloseClipboard(); });
    return ok;
}

}  // namespace quortest
