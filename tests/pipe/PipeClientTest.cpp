// The program's end of the agent's pipe against an agent on the platform the tests run on
// (the simulated machine's pipe, or a real named-pipe server under Wine / Windows).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shared/lib/PipeClient.h"
#include "tests/pipe/support/AgentHarness.h"
#include "tests/support/TestLog.h"

using quortest::Utf16Bytes;

namespace {

// Waits until the log has a line with `text` since the mark (the client's thread logs it).
bool WaitLogged(const quortest::LogTail& tail, const std::string& text)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!tail.Contains(text)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class PipeClientTest : public ::testing::Test {
protected:
    PipeClientTest() { quortest::ProcessLogPath(); }
    // A client connected to a fresh agent.
    std::unique_ptr<quor::PipeClient> Started(std::atomic<int>* endedCalls = nullptr)
    {
        const std::u16string name = agent_.Listen();
        EXPECT_FALSE(name.empty());
        auto client = std::make_unique<quor::PipeClient>(name, [endedCalls] {
            if (endedCalls != nullptr) {
                ++*endedCalls;
            }
        });
        EXPECT_TRUE(client->Init());
        EXPECT_TRUE(agent_.Accept());
        return client;
    }
    // Sends the close command and expects the answer and the thread's end.
    void ExpectClosesOn(quor::PipeClient& client, const std::string& bytes, const std::string& what)
    {
        ASSERT_TRUE(agent_.SendRaw(bytes)) << what;
        std::u16string answer;
        std::size_t size = 0;
        ASSERT_TRUE(agent_.Receive(answer, size)) << what;
        EXPECT_EQ(answer, u"\\CLOSED") << what;
        EXPECT_EQ(size, 16U) << what;
        EXPECT_TRUE(client.WaitEnded(30000)) << what;
    }
    quortest::AgentHarness agent_;
};

}  // namespace

TEST_F(PipeClientTest, CloseCommandsAreAnswered)
{
    struct Case {
        const char* name;
        std::string bytes;  // what the agent writes at once
        const char* logged;  // an invalid command logged first, or nullptr
    };
    const Case cases[] = {
        {"upper case", Utf16Bytes(u"\\CLOSE"), nullptr},
        {"lower case", Utf16Bytes(u"\\close"), nullptr},
        {"mixed case", Utf16Bytes(u"\\ClOsE"), nullptr},
        {"a prefix", Utf16Bytes(u"\\CL"), nullptr},
        {"one character", Utf16Bytes(u"\\"), nullptr},
        {"without its NUL", Utf16Bytes(u"\\CLOSE", false), nullptr},
        {"after a lone NUL", Utf16Bytes(u"") + Utf16Bytes(u"\\CLOSE"), nullptr},
        {"after another command in the same write", Utf16Bytes(u"hello") + Utf16Bytes(u"\\CLOSE"),
         "Invalid command = hello."},
    };
    for (const Case& c : cases) {
        quortest::LogTail tail;
        std::atomic<int> ended{0};
        auto client = Started(&ended);
        ExpectClosesOn(*client, c.bytes, c.name);
        EXPECT_EQ(ended.load(), 1) << c.name;
        if (c.logged != nullptr) {
            EXPECT_TRUE(tail.Contains(c.logged)) << c.name << ": " << tail.Since();
        } else {
            EXPECT_FALSE(tail.Contains("Invalid command")) << c.name << ": " << tail.Since();
        }
        client.reset();
        agent_.CloseConnection();
    }
}

TEST_F(PipeClientTest, OtherCommandsAreLoggedAndReadingGoesOn)
{
    struct Case {
        const char* name;
        std::string bytes;
        std::string logged;  // "" for nothing
    };
    const std::u16string long1024(1024, u'A');
    const Case cases[] = {
        {"unknown word", Utf16Bytes(u"hello"), "Invalid command = hello."},
        {"close with one more letter", Utf16Bytes(u"\\CLOSEX"), "Invalid command = \\CLOSEX."},
        {"close command's prefix of another word", Utf16Bytes(u"\\CLX"), "Invalid command = \\CLX."},
        {"non-ASCII", Utf16Bytes(u"\u00e9t\u00e9"), "Invalid command = \xC3\xA9t\xC3\xA9."},
        {"lone NUL", Utf16Bytes(u""), ""},
        {"2048 bytes without a NUL", Utf16Bytes(long1024, false), "Invalid command = " + std::string(1024, 'A') + "."},
    };
    for (const Case& c : cases) {
        auto client = Started();
        quortest::LogTail tail;
        ASSERT_TRUE(agent_.SendRaw(c.bytes)) << c.name;
        if (!c.logged.empty()) {
            ASSERT_TRUE(WaitLogged(tail, c.logged)) << c.name << ": " << tail.Since();
        }
        // Still reading: the close command is answered afterwards.
        ExpectClosesOn(*client, Utf16Bytes(u"\\CLOSE"), c.name);
        EXPECT_EQ(tail.Since().find("Invalid command = " + std::string(1025, 'A')), std::string::npos) << c.name;
        if (c.logged.empty()) {
            EXPECT_FALSE(tail.Contains("Invalid command")) << c.name << ": " << tail.Since();
        }
        client.reset();
        agent_.CloseConnection();
    }
}

TEST_F(PipeClientTest, ACommandIsTakenFromTheBytesOfItsOwnRead)
{
    // A full buffer without a NUL, then a short command without one: the second must not
    // pick up what the first left in the buffer.
    auto client = Started();
    quortest::LogTail tail;
    ASSERT_TRUE(agent_.SendRaw(Utf16Bytes(std::u16string(1024, u'B'), false)));
    ASSERT_TRUE(WaitLogged(tail, "Invalid command = " + std::string(1024, 'B') + "."));
    ASSERT_TRUE(agent_.SendRaw(Utf16Bytes(u"xy", false)));
    ASSERT_TRUE(WaitLogged(tail, "Invalid command = xy")) << tail.Since();
    EXPECT_TRUE(tail.Contains("Invalid command = xy.")) << tail.Since();
    ExpectClosesOn(*client, Utf16Bytes(u"\\CLOSE"), "close");
}

TEST_F(PipeClientTest, TheAgentClosingItsEndEndsTheThread)
{
    auto client = Started();
    quortest::LogTail tail;
    agent_.CloseConnection();
    ASSERT_TRUE(client->WaitEnded(30000));
    EXPECT_TRUE(tail.Contains("ReadFile failed with error: 109")) << tail.Since();
    EXPECT_TRUE(tail.Contains("ReadFile failed\r\n")) << tail.Since();
}

TEST_F(PipeClientTest, NoPipeServer)
{
    quortest::LogTail tail;
    quor::PipeClient client(agent_.UnusedName());
    ASSERT_TRUE(client.Init());
    ASSERT_TRUE(client.WaitEnded(30000));
    const std::string log = tail.Since();
    const auto first = log.find("Could not connect to pipe server.");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("Failed to Connect server.", first), std::string::npos) << log;
    EXPECT_NE(log.find("[E]"), std::string::npos) << log;
}

TEST_F(PipeClientTest, DestroyingAWaitingClientStopsItsThreadFirst)
{
    // Destruction while the thread waits in its read: the read is cancelled, the thread
    // ends, and only then the pipe is closed (ASan sees any use of the freed buffer).
    for (int round = 0; round < 3; ++round) {
        quortest::LogTail tail;
        std::atomic<int> ended{0};
        auto client = Started(&ended);
        client.reset();
        EXPECT_EQ(ended.load(), 1);
        EXPECT_TRUE(agent_.WaitClosed());
        agent_.CloseConnection();
    }
    // A client that never started, and one whose thread already ended, go quietly.
    quor::PipeClient idle(agent_.UnusedName());
    EXPECT_TRUE(idle.Ended());
}

TEST_F(PipeClientTest, InitRefusesAnEmptyNameAndASecondStart)
{
    quor::PipeClient empty(u"");
    EXPECT_FALSE(empty.Init());
    EXPECT_TRUE(empty.Ended());

    quortest::LogTail tail;
    quor::PipeClient twice(agent_.UnusedName());
    ASSERT_TRUE(twice.Init());
    EXPECT_FALSE(twice.Init());
    EXPECT_TRUE(tail.Contains("PipeClient already initialised!")) << tail.Since();
    EXPECT_TRUE(twice.WaitEnded(30000));
}

TEST_F(PipeClientTest, SetDataCutsAndWriteSendsTheStringWithItsNul)
{
    struct Case {
        std::size_t units;
        std::size_t sent;  // bytes, the NUL included
    };
    const Case cases[] = {{0, 2}, {7, 16}, {1022, 2046}, {1023, 2048}, {1024, 2048}, {5000, 2048}};
    for (const Case& c : cases) {
        const std::u16string name = agent_.Listen();
        quor::PipeClient client(name);
        ASSERT_TRUE(client.Connect());
        ASSERT_TRUE(agent_.Accept());
        // A longer text first: SetData clears what it left.
        client.SetData(std::u16string(1500, u'z'));
        client.SetData(std::u16string(c.units, u'q'));
        ASSERT_TRUE(client.Write()) << c.units;
        std::u16string got;
        std::size_t size = 0;
        ASSERT_TRUE(agent_.Receive(got, size)) << c.units;
        EXPECT_EQ(size, c.sent) << c.units;
        EXPECT_EQ(got, std::u16string(c.sent / 2 - 1, u'q')) << c.units;
        agent_.CloseConnection();
    }
}
