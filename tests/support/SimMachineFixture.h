// Test support (simulation only): a fresh simulated machine in a folder of its own for the
// life of the object. The machine's configuration, faults and subscribers start empty; the
// destructor unplugs everything again, so the next test starts from nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>
#include <string>

#include <gtest/gtest.h>

#include "shared/lib/platform/posix/SimMachine.h"
#include "tests/support/TestLog.h"

namespace quortest {

class FreshSimMachine {
public:
    explicit FreshSimMachine(quor::platform::sim::SimConfig config = {});
    ~FreshSimMachine();
    FreshSimMachine(const FreshSimMachine&) = delete;
    FreshSimMachine& operator=(const FreshSimMachine&) = delete;

    quor::platform::sim::SimMachine& Machine() const { return quor::platform::sim::SimMachine::Get(); }
    quor::platform::sim::SimFaults& Faults() const { return Machine().Faults(); }
    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::string Str() const { return dir_.Str(); }

private:
    TempDir dir_;
};

// Records the port-status events of the simulated virtio-serial driver from its
// construction on, so that a test can wait for "the driver has taken the host's
// connection" (status 1) or "has seen the host leave" (status 0) instead of sleeping.
class PortStatusWatch {
public:
    PortStatusWatch();
    ~PortStatusWatch();
    PortStatusWatch(const PortStatusWatch&) = delete;
    PortStatusWatch& operator=(const PortStatusWatch&) = delete;
    // Waits until the port with `hostIndex` has reported `status` (`times` times in all).
    bool WaitFor(std::uint32_t hostIndex, std::uint32_t status, int times = 1, int timeoutMs = 30000);
    int Count(std::uint32_t hostIndex, std::uint32_t status);

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> seen_;
    int token_;
};

// A test with its own fresh machine (ports 3 and 4, the virtio-fs device plugged in).
class SimMachineTest : public ::testing::Test {
protected:
    SimMachineTest() { ProcessLogPath(); }
    FreshSimMachine sim_;
};

}  // namespace quortest
