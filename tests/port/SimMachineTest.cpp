// The simulated machine's own contract (fault points, event bus, devices plugged in at run
// time, one last error per thread) and the discovery loops of the port and the virtio-fs
// device driven through its fault points.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "shared/lib/VioFsAPI.h"
#include "shared/lib/VioSAPI.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/TextConv.h"
#include "tests/support/SimMachineFixture.h"
#include "tools/HostPort.h"
#include "tools/VirtioFsBackend.h"

using quor::VioSAPI;
using quor::platform::sim::DeviceClass;
using quor::platform::sim::FaultRule;
using quor::platform::sim::SimEvent;

namespace {

using Sim = quortest::SimMachineTest;

// Every event the bus carries from construction on.
class EventLog {
public:
    EventLog()
    {
        token_ = quor::platform::sim::SimMachine::Get().Events().Subscribe([this](const SimEvent& e) {
            std::lock_guard<std::mutex> g(m_);
            events_.push_back(e);
        });
    }
    ~EventLog() { quor::platform::sim::SimMachine::Get().Events().Unsubscribe(token_); }
    std::vector<SimEvent> Events()
    {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }

private:
    std::mutex m_;
    std::vector<SimEvent> events_;
    int token_;
};

}  // namespace

TEST_F(Sim, FaultPointsSkipCountAndDisarm)
{
    struct Case {
        FaultRule rule;
        std::vector<bool> fails;  // the first six calls
    };
    const Case cases[] = {
        {{31, 0, 1, false}, {true, false, false, false, false, false}},
        {{31, 2, 2, false}, {false, false, true, true, false, false}},
        {{31, 1, -1, false}, {false, true, true, true, true, true}},
        {{0, 0, -1, false}, {false, false, false, false, false, false}},  // no error: only counted
    };
    for (const Case& c : cases) {
        sim_.Faults().Arm("Test.Call", c.rule);
        for (std::size_t i = 0; i < c.fails.size(); ++i) {
            const auto hit = quor::platform::sim::Fault("Test.Call");
            EXPECT_EQ(hit.has_value(), c.fails[i]) << "call " << i << " skip " << c.rule.skip;
            if (hit) {
                EXPECT_EQ(*hit, 31U);
            }
        }
        EXPECT_EQ(sim_.Faults().Hits("Test.Call"), 6);
        EXPECT_FALSE(quor::platform::sim::Fault("Other.Call").has_value());
    }
    sim_.Faults().Disarm("Test.Call");
    EXPECT_FALSE(quor::platform::sim::Fault("Test.Call").has_value());
}

TEST_F(Sim, AHeldCallWaitsForItsReleaseAndThenFailsOrGoesOn)
{
    for (const std::uint32_t error : {0U, 5U}) {
        sim_.Faults().Arm("Test.Held", {error, 0, 2, true});
        std::atomic<int> done{0};
        std::vector<std::optional<std::uint32_t>> results(2);
        std::vector<std::thread> callers;
        for (int i = 0; i < 2; ++i) {
            callers.emplace_back([&, i] {
                results[i] = quor::platform::sim::Fault("Test.Held");
                ++done;
            });
        }
        ASSERT_TRUE(sim_.Faults().WaitHeld("Test.Held", 2));
        EXPECT_EQ(done.load(), 0);
        sim_.Faults().Release("Test.Held");
        for (auto& t : callers) {
            t.join();
        }
        for (const auto& r : results) {
            EXPECT_EQ(r.has_value(), error != 0);
        }
        // Past its count the point no longer holds anyone.
        EXPECT_FALSE(quor::platform::sim::Fault("Test.Held").has_value());
    }
}

TEST_F(Sim, ClearLetsHeldCallersGo)
{
    sim_.Faults().Arm("Test.Held", {0, 0, 1, true});
    std::thread caller([] { (void)quor::platform::sim::Fault("Test.Held"); });
    ASSERT_TRUE(sim_.Faults().WaitHeld("Test.Held"));
    sim_.Faults().Clear();
    caller.join();
}

TEST_F(Sim, LastErrorBelongsToItsThreadAndToTheLastCall)
{
    char out[1];
    // A too-small buffer fails the conversion with 122 ...
    EXPECT_EQ(quor::platform::WideToUtf8Bytes(u"abc", 3, out, 1), 0);
    EXPECT_EQ(quor::platform::LastError(), 122U);
    std::uint32_t other = 0;
    std::thread t([&] {
        char16_t wide[4];
        EXPECT_EQ(quor::platform::Utf8ToWideUnits(nullptr, wide, 4), 0);
        other = quor::platform::LastError();
    });
    t.join();
    EXPECT_EQ(other, 87U);
    EXPECT_EQ(quor::platform::LastError(), 122U);  // the other thread's failure is its own
    // ... and a later failing call of another seam replaces it.
    std::uint32_t index = 0;
    EXPECT_FALSE(quor::platform::QueryHostPortIndex(quor::platform::kInvalidPort, index));
    EXPECT_EQ(quor::platform::LastError(), 6U);
}

TEST_F(Sim, PortsPluggedInLaterAreFoundAndAnnounced)
{
    quor::platform::sim::SimConfig none;
    none.serialPorts.clear();
    none.virtioFsPresent = false;
    quortest::FreshSimMachine machine(none);
    EventLog events;

    VioSAPI port;
    EXPECT_FALSE(port.Open(3));
    machine.Machine().PlugSerialPort(3);
    machine.Machine().PlugSerialPort(3);  // already there: nothing happens
    EXPECT_TRUE(port.Open(3));

    quorhost::VirtioFsBackend backend;
    ASSERT_TRUE(backend.Start());
    quor::VioFsAPI early;
    EXPECT_FALSE(early.Init());  // the back end listens, but the device is not plugged in
    machine.Machine().PlugVirtioFs();
    quor::VioFsAPI fs;
    EXPECT_TRUE(fs.Init());

    machine.Machine().UnplugSerialPort(3);
    const auto seen = events.Events();
    ASSERT_EQ(seen.size(), 3U);
    EXPECT_EQ(seen[0].kind, SimEvent::Kind::DeviceArrival);
    EXPECT_EQ(seen[0].device, DeviceClass::SerialPort);
    EXPECT_EQ(seen[0].hostIndex, 3U);
    EXPECT_EQ(seen[0].devicePath, u"\\\\?\\sim#vioserial#port3");
    EXPECT_EQ(seen[1].kind, SimEvent::Kind::DeviceArrival);
    EXPECT_EQ(seen[1].device, DeviceClass::VirtioFs);
    EXPECT_EQ(seen[2].kind, SimEvent::Kind::DeviceRemoval);
    EXPECT_EQ(seen[2].hostIndex, 3U);
    // The open port survives its removal from the list until it is closed.
    EXPECT_TRUE(port.IsOpened());
}

TEST_F(Sim, HostConnectAndLeaveRaiseThePortStatusEventWithTheHandle)
{
    quortest::PortStatusWatch watch;
    EventLog events;
    VioSAPI port;
    ASSERT_TRUE(port.Open(3));
    for (int round = 1; round <= 3; ++round) {
        quorhost::HostPort host;
        ASSERT_TRUE(host.Connect(3));
        ASSERT_TRUE(watch.WaitFor(3, 1, round));
        host.Close();
        ASSERT_TRUE(watch.WaitFor(3, 0, round));
    }
    for (const SimEvent& e : events.Events()) {
        EXPECT_EQ(e.kind, SimEvent::Kind::PortStatus);
        EXPECT_EQ(e.handle, port.Handle());
        EXPECT_EQ(e.hostIndex, 3U);
    }
    EXPECT_EQ(watch.Count(4, 1), 0);
}

TEST_F(Sim, UnsubscribedHandlersAreNeverCalledAgain)
{
    auto& bus = sim_.Machine().Events();
    std::atomic<int> calls{0};
    const int token = bus.Subscribe([&](const SimEvent&) { ++calls; });
    std::atomic<bool> stop{false};
    std::thread publisher([&] {
        while (!stop) {
            bus.Publish(SimEvent{});
        }
    });
    while (calls.load() < 10) {
        std::this_thread::yield();
    }
    bus.Unsubscribe(token);
    const int after = calls.load();
    for (int i = 0; i < 100; ++i) {
        bus.Publish(SimEvent{});
    }
    stop = true;
    publisher.join();
    EXPECT_EQ(calls.load(), after);
}

// ---- discovery through the fault points ---------------------------------------------------

TEST_F(Sim, PortDiscoverySkipsGapsAndFailingInterfaces)
{
    struct Case {
        const char* point;
        FaultRule rule;
        std::uint32_t index;
        bool opens;
        const char* line;  // logged on the way, empty for none
        const char* failure = "Cannot get port handle port: ";  // how a failed open ends
    };
    const Case cases[] = {
        // A gap at the first interface index: the port behind it is still found.
        {"SerialPort.SetupDiEnumDeviceInterfaces", {259, 0, 1, false}, 4, true, ""},
        // The first interface's details fail: logged, and the next one is looked at.
        {"SerialPort.SetupDiGetDeviceInterfaceDetailW", {122, 0, 1, false}, 4, true,
         "Cannot get device interface details."},
        // The information request fails on the first port: logged with its error, and the
        // port is closed again (so it can be opened later).
        {"SerialPort.DeviceIoControl", {31, 0, 1, false}, 4, true, "Virtio serial IOCTL_GET_INFORMATION failed 31"},
        {"SerialPort.DeviceIoControl", {31, 0, 1, false}, 3, false, "Virtio serial IOCTL_GET_INFORMATION failed 31"},
        {"SerialPort.CreateFileW", {5, 0, 1, false}, 3, false, ""},
        {"SerialPort.CreateFileW", {5, 0, 1, false}, 4, true, ""},
        {"SerialPort.SetupDiGetClassDevsW", {13, 0, 1, false}, 3, false, "Cannot get class devices.",
         "Failed to open vioserial port: "},
        {"SerialPort.SetupDiDestroyDeviceInfoList", {6, 0, 1, false}, 3, true,
         "SetupDiDestroyDeviceInfoList failed: 6"},
    };
    for (const Case& c : cases) {
        sim_.Faults().Clear();
        sim_.Faults().Arm(c.point, c.rule);
        quortest::LogTail tail;
        VioSAPI port;
        EXPECT_EQ(port.Open(c.index), c.opens) << c.point << " " << c.index;
        if (*c.line != '\0') {
            EXPECT_TRUE(tail.Contains(c.line)) << c.point << ": " << tail.Since();
        }
        EXPECT_EQ(tail.Contains(c.failure + std::to_string(c.index)), !c.opens) << c.point;
        if (c.opens) {
            EXPECT_TRUE(tail.Contains("Found virtio serial device with host port idx: " + std::to_string(c.index)));
        }
    }
    // Nothing was left open by the failed attempts.
    sim_.Faults().Clear();
    VioSAPI three;
    VioSAPI four;
    EXPECT_TRUE(three.Open(3));
    EXPECT_TRUE(four.Open(4));
}

TEST_F(Sim, VirtioFsDiscoveryFailuresAreLoggedWithTheirError)
{
    quorhost::VirtioFsBackend backend;
    ASSERT_TRUE(backend.Start());
    struct Case {
        const char* point;
        std::uint32_t error;
        bool opens;
        const char* line;
    };
    const Case cases[] = {
        {"VirtioFs.SetupDiGetClassDevsW", 13, false, "Cannot get class devices."},
        {"VirtioFs.SetupDiGetDeviceInterfaceDetailW", 122, false,
         "Cannot get device interface details with error: 122"},
    };
    for (const Case& c : cases) {
        sim_.Faults().Clear();
        sim_.Faults().Arm(c.point, {c.error, 0, 1, false});
        quortest::LogTail tail;
        quor::VioFsAPI fs;
        EXPECT_EQ(fs.Init(), c.opens) << c.point;
        EXPECT_TRUE(tail.Contains(c.line)) << tail.Since();
        EXPECT_TRUE(tail.Contains("Failed to get VioFs handle"));
    }
}
