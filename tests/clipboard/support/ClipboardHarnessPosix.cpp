#include "tests/clipboard/support/ClipboardHarness.h"

#include <filesystem>

#include "tests/support/SimMachineFixture.h"

namespace quortest {

struct ClipboardHarness::Impl {
    FreshSimMachine sim;
};

ClipboardHarness::ClipboardHarness() : impl_(std::make_unique<Impl>())
{
    std::filesystem::create_directories(impl_->sim.Path() / "drives" / "C");
}
ClipboardHarness::~ClipboardHarness() = default;
quor::platform::WindowHandle ClipboardHarness::AppWindow() const { return reinterpret_cast<void*>(0x5150); }
quor::platform::WindowHandle ClipboardHarness::OurWindow() const { return reinterpret_cast<void*>(0x7770); }

}  // namespace quortest
