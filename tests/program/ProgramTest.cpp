// The program as a whole: its command line, and the real executable started as the agent
// starts it, on the simulated machine and under Wine (no device present on either: the
// configuration reports 1229 and the program keeps running until the agent closes it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorsharemgr/EntryPoint.h"
#include "tests/pipe/support/AgentHarness.h"
#include "tests/program/support/ProgramProcess.h"
#include "tests/support/WaitUntil.h"

namespace {

constexpr int kExitMs = 60000;
constexpr char16_t kBase[] = u"\\\\.\\pipe\\quorsharepipe";

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

// The argument that makes the program open `pipeName`.
std::string ArgumentFor(const std::u16string& pipeName)
{
    return Narrow(pipeName.substr(std::u16string(kBase).size()));
}

// Each of `lines` in the log, in this order.
::testing::AssertionResult InOrder(const std::string& log, const std::vector<std::string>& lines)
{
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = log.find(line, at);
        if (found == std::string::npos) {
            return ::testing::AssertionFailure() << "\"" << line << "\" missing or out of order in:\n" << log;
        }
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

class Program : public ::testing::Test {
protected:
    Program() { quortest::RemoveProgramLog(); }
    bool LogHas(const std::string& text, int timeoutMs = 30000)
    {
        return quortest::WaitUntil([&] { return quortest::ProgramLog().find(text) != std::string::npos; }, timeoutMs);
    }
    quortest::AgentHarness agent_;
};

}  // namespace

TEST(ProgramCommandLine, OnlyOneArgumentStartingWithADigitNamesThePipe)
{
    struct Case {
        std::vector<std::u16string> args;
        std::u16string pipe;
    };
    const Case cases[] = {
        {{}, u""},
        {{u"3"}, u"\\\\.\\pipe\\quorsharepipe3"},
        {{u"3abc"}, u"\\\\.\\pipe\\quorsharepipe3abc"},
        {{u"abc"}, u""},
        {{u"a3"}, u""},
        {{u""}, u""},
        {{u"3", u"4"}, u""},
        {{u"-3"}, u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quor::AgentPipeName(c.args), c.pipe) << c.args.size() << " arguments";
    }
}

TEST_F(Program, WithoutAPipeServerItStartsStopsAndExitsZero)
{
    quortest::ProgramProcess program({ArgumentFor(agent_.UnusedName())});
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(program.WaitExit(kExitMs), 0);
    const std::string log = quortest::ProgramLog();
    EXPECT_TRUE(InOrder(log, {"quorsharemgr.exe built on ", "PipeClient Init Completed",
                              "Failed to connect vioserial device", "Share Manager is running", "PipeClient is set"}));
    EXPECT_TRUE(InOrder(log, {"Could not connect to pipe server.", "Failed to Connect server."}));
    EXPECT_EQ(log.find("Terminate Thread"), std::string::npos) << log;
}

TEST_F(Program, TheAgentsCloseCommandInAnySpellingEndsItWithZero)
{
    for (const std::u16string command : {u"\\CLOSE", u"\\close", u"\\CL"}) {
        quortest::RemoveProgramLog();
        const std::u16string pipe = agent_.Listen();
        quortest::ProgramProcess program({ArgumentFor(pipe)});
        ASSERT_TRUE(program.Started());
        ASSERT_TRUE(agent_.Accept());
        ASSERT_TRUE(agent_.Send(command));
        std::u16string answer;
        std::size_t bytes = 0;
        ASSERT_TRUE(agent_.Receive(answer, bytes)) << Narrow(command);
        EXPECT_EQ(answer, u"\\CLOSED");
        EXPECT_EQ(bytes, 16U);
        EXPECT_EQ(program.WaitExit(kExitMs), 0) << Narrow(command);
        EXPECT_TRUE(InOrder(quortest::ProgramLog(), {"PipeClient Init Completed", "Share Manager is running"}));
        agent_.CloseConnection();
    }
}

TEST_F(Program, UnknownWordsAndLoneNulsLeaveItRunning)
{
    const std::u16string pipe = agent_.Listen();
    quortest::ProgramProcess program({ArgumentFor(pipe)});
    ASSERT_TRUE(agent_.Accept());
    ASSERT_TRUE(LogHas("PipeClient is set"));
    ASSERT_TRUE(agent_.Send(u"\\HELLO"));
    ASSERT_TRUE(agent_.SendRaw(std::string(2, '\0')));
    ASSERT_TRUE(LogHas("Invalid command = \\HELLO."));
    EXPECT_EQ(program.WaitExit(0), -1) << "the program ended on an unknown command";
    ASSERT_TRUE(agent_.Send(u"\\CLOSE"));
    std::u16string answer;
    std::size_t bytes = 0;
    ASSERT_TRUE(agent_.Receive(answer, bytes));
    EXPECT_EQ(answer, u"\\CLOSED");
    EXPECT_EQ(program.WaitExit(kExitMs), 0);
}

TEST_F(Program, TheAgentGoingAwayEndsItWithZero)
{
    const std::u16string pipe = agent_.Listen();
    quortest::ProgramProcess program({ArgumentFor(pipe)});
    ASSERT_TRUE(agent_.Accept());
    ASSERT_TRUE(LogHas("PipeClient is set"));
    agent_.CloseConnection();
    EXPECT_EQ(program.WaitExit(kExitMs), 0);
    EXPECT_TRUE(InOrder(quortest::ProgramLog(), {"ReadFile failed"}));
}

TEST_F(Program, AnArgumentThatIsNoNumberRunsItWithoutAPipeClient)
{
    quortest::ProgramProcess program({"abc"});
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(LogHas("PipeClient is NOT set"));
    const std::string log = quortest::ProgramLog();
    EXPECT_EQ(log.find("PipeClient Init Completed"), std::string::npos) << log;
    EXPECT_TRUE(InOrder(log, {"Failed to connect vioserial device", "Share Manager is running"}));
    EXPECT_EQ(program.WaitExit(0), -1) << "without a pipe client it runs until its window ends";
}

// Ctrl+C, the console closing and shutdown run the program's own shutdown, as the agent's
// close does: the pipe is closed and the exit code is 0, not the default handler's end.
TEST_F(Program, ConsoleControlEventsEndItWithZero)
{
    using Event = quortest::ProgramProcess::ConsoleEvent;
    struct Case {
        const char* name;
        Event event;
    };
    const Case cases[] = {{"Ctrl+C", Event::CtrlC}, {"console closed", Event::Close}, {"shutdown", Event::Shutdown}};
    int raised = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quortest::RemoveProgramLog();
        const std::u16string pipe = agent_.Listen();
        quortest::ProgramProcess program({ArgumentFor(pipe)});
        ASSERT_TRUE(program.Started());
        ASSERT_TRUE(agent_.Accept());
        ASSERT_TRUE(LogHas("PipeClient is set"));
        if (!program.SendConsoleEvent(c.event)) {
            agent_.CloseConnection();  // the platform cannot raise it: the agent ends the run
            EXPECT_EQ(program.WaitExit(kExitMs), 0);
            continue;
        }
        ++raised;
        EXPECT_EQ(program.WaitExit(kExitMs), 0);
        const std::string log = quortest::ProgramLog();
        EXPECT_TRUE(InOrder(log, {"PipeClient is set", "Console control event "}));
        EXPECT_EQ(log.find("Terminate Thread"), std::string::npos) << log;
        EXPECT_EQ(log.find("did not end"), std::string::npos) << log;
        agent_.CloseConnection();
    }
    if (raised == 0) {
        // Wine 8 without a console: AttachConsole / GenerateConsoleCtrlEvent fail.
        GTEST_SKIP() << "no console event can be raised on this platform here";
    }
}
