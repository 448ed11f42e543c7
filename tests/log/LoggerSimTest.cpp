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

TEST_F(SimDir, RotationWhoseRenameFailsTwiceTruncatesReportsAndGoesOn)
{
    const fs::path log = sim_.Path() / "rot.log";
    quor::Logger logger;
    ASSERT_EQ(logger.Init(log.string()), 0U);
    logger.SetLimits(150, 1);
    logger.Log(1, "sim.cpp", 1, std::string(100, 'a'));
    // Both attempts of the rename fail (the backup is held open by another program).
    sim_.Faults().Arm("CrtFiles.rename", {13, 0, 2, false});
    testing::internal::CaptureStderr();
    logger.Log(1, "sim.cpp", 2, std::string(100, 'b'));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sim_.Faults().Hits("CrtFiles.rename"), 2);
    EXPECT_NE(err.find("Failed to rotate file, rename " + log.string() + " to " + (sim_.Path() / "rot.1.log").string() +
                       ", with error: 13"),
              std::string::npos)
        << err;
    // The file was truncated and taken up again; the logger still writes.
    EXPECT_TRUE(logger.IsEnabled());
    EXPECT_FALSE(fs::exists(sim_.Path() / "rot.1.log"));
    const std::string text = quortest::ReadFile(log);
    EXPECT_EQ(text.find(std::string(100, 'a')), std::string::npos);
    EXPECT_NE(text.find(std::string(100, 'b')), std::string::npos);
    // The next rotation, with a rename that works again, makes the backup.
    logger.Log(1, "sim.cpp", 3, std::string(100, 'c'));
    EXPECT_NE(quortest::ReadFile(sim_.Path() / "rot.1.log").find(std::string(100, 'b')), std::string::npos);
}
