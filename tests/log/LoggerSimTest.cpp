// The logger on the simulated machine: Windows paths, and the event log when it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "shared/log/LogException.h"
#include "shared/log/Logger.h"
#include "shared/lib/platform/SimLayout.h"
#include "tests/support/SimMachineFixture.h"

namespace fs = std::filesystem;

namespace {

using SimDir = quortest::SimMachineTest;

}  // namespace

TEST_F(SimDir, WindowsPathsMapIntoTheMachineFolder)
{
    const std::string root = sim_.Str();
    struct Case {
        const char* windows;
        std::string host;
    };
    const Case cases[] = {
        {"C:\\ProgramData\\QUOR\\log\\quor.log", root + "/drives/C/ProgramData/QUOR/log/quor.log"},
        {"d:/data/x.txt", root + "/drives/D/data/x.txt"},
        {"C:", root + "/drives/C"},
        {"C:\\", root + "/drives/C"},
        {"\\Windows\\Temp", root + "/drives/C/Windows/Temp"},
        {"\\\\Velt\\share1\\dir\\f.png", root + "/unc/Velt/share1/dir/f.png"},
        {"\\\\Velt\\share1", root + "/unc/Velt/share1"},
        {"/already/host", "/already/host"},
        {"rel\\path", "rel/path"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quor::platform::ToHostPath(c.windows), c.host) << c.windows;
    }
}

TEST_F(SimDir, DefaultLogPathWithItsDrivePrefixAndBackup)
{
    quor::Logger logger;
    ASSERT_EQ(logger.Init("C:\\ProgramData\\QUOR\\log\\quor.log"), 0U);
    logger.SetLimits(200, 1);
    for (int i = 0; i < 6; ++i) {
        logger.Log(1, "sim.cpp", i, std::string(60, 'x'));
    }
    const fs::path logDir = sim_.Path() / "drives" / "C" / "ProgramData" / "QUOR" / "log";
    EXPECT_TRUE(fs::exists(logDir / "quor.log"));
    EXPECT_TRUE(fs::exists(logDir / "quor.1.log"));
}

TEST_F(SimDir, EventLogThatCannotBeReachedRaisesAndTheLoggerSurvives)
{
    quor::platform::sim::SimConfig failing;
    failing.eventLog = quor::platform::sim::EventLogMode::Fail;
    quortest::FreshSimMachine machine(failing);
    {
        quor::LogFile file;
        try {
            file.ReportToEventLog("anything");
            FAIL() << "expected LogException";
        } catch (const quor::LogException& e) {
            EXPECT_STREQ(e.what(), "RegisterEventSourceA failed. Last error: 5");
        }
    }
    // A write-side failure whose report cannot be made still silences the logger and
    // never reaches the caller.
    quor::Logger logger;
    ASSERT_EQ(logger.Init((machine.Path() / "l.log").string()), 0U);
    logger.File().Close();
    EXPECT_NO_THROW(logger.Log(3, "x.cpp", 1, "lost"));
    EXPECT_FALSE(logger.IsEnabled());
}

TEST_F(SimDir, OpenFailureIsReportedWithItsText)
{
    const fs::path blocker = sim_.Path() / "blocker";
    { std::FILE* f = std::fopen(blocker.c_str(), "w"); std::fclose(f); }
    quor::LogFile file;
    file.SetOpenRetry(2, 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(file.Open((blocker / "x.log").string(), false));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to open file: " + (blocker / "x.log").string() + ", with error 20"), std::string::npos)
        << err;
}
