#include "tests/clipboard/support/ShareHost.h"

#include "tests/support/SimMachineFixture.h"
#include "tests/support/WaitUntil.h"
#include "tools/HostPort.h"
#include "tools/VirtioFsBackend.h"

namespace quortest {

namespace {

quor::platform::sim::SimConfig Config(bool fileShareDevice)
{
    quor::platform::sim::SimConfig cfg;
    if (!fileShareDevice) {
        cfg.serialPorts = {3};
        cfg.virtioFsPresent = false;
    }
    return cfg;
}

}  // namespace

struct ShareHost::Impl {
    explicit Impl(bool fileShareDevice) : sim(Config(fileShareDevice)) {}
    FreshSimMachine sim;
    quorhost::VirtioFsBackend backend;
    quorhost::HostPort port;
};

ShareHost::ShareHost(bool fileShareDevice) : impl_(std::make_unique<Impl>(fileShareDevice))
{
    ProcessLogPath();
    if (fileShareDevice) {
        EXPECT_TRUE(impl_->backend.Start());
    }
}

ShareHost::~ShareHost()
{
    impl_->port.Close();
    impl_->backend.Stop();
}

std::unique_ptr<quor::fs::FuseServerInterface> ShareHost::Server() { return nullptr; }

std::uint32_t ShareHost::Configure(quor::ShareMgr& mgr)
{
    mgr.Transport().SetTimingsForTest(50, 1);
    const std::uint32_t r = mgr.InitConfiguration();
    if (r != 0) {
        return r;
    }
    // The driver restarts the listen thread when the host opens the port.
    const std::uint32_t before = mgr.ListenThreadsStarted();
    EXPECT_TRUE(impl_->port.Connect(3));
    EXPECT_TRUE(WaitUntil([&] { return mgr.ListenThreadsStarted() > before; }));
    return 0;
}

bool ShareHost::Send(const std::vector<unsigned char>& bytes) { return impl_->port.SendAll(bytes.data(), bytes.size()); }

bool ShareHost::Recv(unsigned char* data, std::size_t length, int timeoutMs)
{
    return impl_->port.RecvAll(data, length, timeoutMs);
}

}  // namespace quortest
