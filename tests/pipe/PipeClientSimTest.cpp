// The pipe client on the simulated machine, where faults can be placed: failed reads and
// writes, and a read that starts only after the destructor's first cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>
#include <memory>
#include <thread>

#include "shared/lib/PipeClient.h"
#include "tests/support/GuestProcess.h"
#include "tests/support/SimMachineFixture.h"
#include "tests/support/WaitUntil.h"
#include "tools/AgentPipe.h"

namespace {

class PipeClientSim : public quortest::SimMachineTest {
protected:
    std::unique_ptr<quor::PipeClient> Started()
    {
        EXPECT_TRUE(agent_.Listen(quorguest::AgentPipe::NameFor("7")));
        auto client = std::make_unique<quor::PipeClient>(u"\\\\.\\pipe\\quorsharepipe7");
        EXPECT_TRUE(client->Init());
        EXPECT_TRUE(agent_.Accept(30000));
        return client;
    }
    quorguest::AgentPipe agent_;
};

}  // namespace

TEST_F(PipeClientSim, FailedCallsEndTheThreadWithTheirLines)
{
    struct Case {
        const char* point;
        std::uint32_t error;
        bool sendClose;
        const char* lines[2];
    };
    const Case cases[] = {
        {"NamedPipe.ReadFile", 6, false, {"ReadFile failed with error: 6", "ReadFile failed\r\n"}},
        {"NamedPipe.WriteFile", 232, true, {"WriteFile failed", nullptr}},
        {"NamedPipe.CreateFileW", 231, false, {"Could not connect to pipe server.", "Failed to Connect server."}},
    };
    for (const Case& c : cases) {
        quortest::LogTail tail;
        sim_.Faults().Arm(c.point, {c.error, 0, 1, false});
        std::unique_ptr<quor::PipeClient> client;
        if (std::string(c.point) == "NamedPipe.CreateFileW") {
            client = std::make_unique<quor::PipeClient>(u"\\\\.\\pipe\\quorsharepipe7");
            ASSERT_TRUE(client->Init());
        } else {
            client = Started();
        }
        if (c.sendClose) {
            ASSERT_TRUE(agent_.Send(u"\\CLOSE"));
        }
        ASSERT_TRUE(client->WaitEnded(30000)) << c.point;
        for (const char* line : c.lines) {
            if (line != nullptr) {
                EXPECT_TRUE(tail.Contains(line)) << c.point << ": " << tail.Since();
            }
        }
        client.reset();
        agent_.Close();
        sim_.Faults().Clear();
    }
}

TEST_F(PipeClientSim, AReadStartedAfterTheCancellationIsCancelledToo)
{
    // The thread is held just before its read; the destructor cancels (nothing is waiting
    // yet), then the read starts and waits: the next cancellation must end it.
    sim_.Faults().Arm("NamedPipe.ReadFile", {0, 0, 1, true});
    sim_.Faults().Arm("NamedPipe.CancelIoEx", {0, 1000000, 0, false});
    auto client = Started();
    quortest::LogTail tail;
    ASSERT_TRUE(sim_.Faults().WaitHeld("NamedPipe.ReadFile"));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        client.reset();
        destroyed = true;
    });
    while (sim_.Faults().Hits("NamedPipe.CancelIoEx") < 1) {
        std::this_thread::yield();
    }
    sim_.Faults().Release("NamedPipe.ReadFile");
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_GE(sim_.Faults().Hits("NamedPipe.CancelIoEx"), 2);
    EXPECT_TRUE(tail.Contains("ReadFile failed with error: 995")) << tail.Since();
    EXPECT_FALSE(tail.Contains("did not end")) << tail.Since();
    EXPECT_TRUE(agent_.WaitClosed(30000));
}

// An agent that does not read the answer holds FlushFileBuffers: the destructor waits for
// the flush only for its bound and leaves the pipe open to it.
TEST_F(PipeClientSim, AFlushTheAgentDoesNotAnswerIsBounded)
{
    sim_.Faults().Arm("NamedPipe.FlushFileBuffers", {0, 0, 1, true});
    auto client = Started();
    ASSERT_TRUE(agent_.Send(u"\\CLOSE"));
    ASSERT_TRUE(client->WaitEnded(30000));
    quortest::LogTail tail;
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        client.reset();
        destroyed = true;
    });
    EXPECT_TRUE(quortest::WaitUntil([&] { return destroyed.load(); }, 20000));
    EXPECT_TRUE(tail.Contains("PipeClient flush did not end within 1000 ms; the pipe is left open.")) << tail.Since();
    EXPECT_EQ(sim_.Faults().Hits("NamedPipe.FlushFileBuffers"), 1);
    sim_.Faults().Release("NamedPipe.FlushFileBuffers");
    destroyer.join();
    // The flush that ends late closes the pipe it was left.
    EXPECT_TRUE(agent_.WaitClosed(20000));
}

TEST_F(PipeClientSim, QuorguestActsAsTheAgent)
{
    struct Case {
        std::vector<std::string> args;
        const char* logged;  // nullptr: nothing
    };
    const Case cases[] = {
        {{"agent", "5", "close"}, nullptr},
        {{"agent", "5", "send", "hello", "\\close"}, "Invalid command = hello."},
    };
    for (const Case& c : cases) {
        quortest::LogTail tail;
        quortest::GuestProcess agent(sim_.Str(), c.args);
        // The agent listens once its socket is there.
        const auto socket = sim_.Path() / "pipe" / "quorsharepipe5";
        while (!std::filesystem::exists(socket)) {
            std::this_thread::yield();
        }
        quor::PipeClient client(u"\\\\.\\pipe\\quorsharepipe5");
        ASSERT_TRUE(client.Init());
        EXPECT_EQ(agent.Wait(), 0) << agent.Output();
        EXPECT_EQ(agent.Output(), "\\CLOSED\n");
        EXPECT_TRUE(client.WaitEnded(30000));
        if (c.logged != nullptr) {
            EXPECT_TRUE(tail.Contains(c.logged)) << tail.Since();
        }
    }
}
