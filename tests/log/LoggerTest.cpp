#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "shared/log/LogException.h"
#include "shared/log/Logger.h"
#include "tests/support/TestLog.h"

namespace fs = std::filesystem;
using quor::Logger;
using quortest::ReadFile;
using quortest::TempDir;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

const std::regex kLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\[([DIWEO])\]\[([^\]]*):(-?\d+)\](.*))");

}  // namespace

TEST(LoggerFormat, LineHasStampTagBaseNameAndLine)
{
    struct Case {
        int level;
        const char* file;
        int line;
        const char* tag;
        const char* base;
    };
    const Case cases[] = {
        {1, "C:\\src\\quorsharemgr\\ShareMgr.cpp", 34, "I", "ShareMgr.cpp"},
        {2, "/home/dev/src/VioSAPI.cpp", 7, "W", "VioSAPI.cpp"},
        {3, "mixed/dir\\Logger.cpp", 1200, "E", "Logger.cpp"},
        {0, "NoSeparators.cpp", 5, "D", "NoSeparators.cpp"},
        {4, "a/b/", 9, "O", ""},
    };
    for (const Case& c : cases) {
        const std::string line = Logger::FormatLine(c.level, c.file, c.line, "msg {} text");
        ASSERT_GE(line.size(), 2U);
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n") << c.file;
        std::smatch m;
        const std::string body = line.substr(0, line.size() - 2);
        ASSERT_TRUE(std::regex_match(body, m, kLine)) << body;
        EXPECT_EQ(m[1], c.tag);
        EXPECT_EQ(m[2], c.base);
        EXPECT_EQ(m[3], std::to_string(c.line));
        EXPECT_EQ(m[4], "msg {} text");
    }
}

TEST(LoggerFormat, BackupNames)
{
    struct Case {
        const char* base;
        std::uint64_t n;
        const char* expected;
    };
    const Case cases[] = {
        {"C:\\ProgramData\\QUOR\\log\\quor.log", 0, "C:\\ProgramData\\QUOR\\log\\quor.log"},
        {"C:\\ProgramData\\QUOR\\log\\quor.log", 1, "C:\\ProgramData\\QUOR\\log\\quor.1.log"},
        {"C:\\ProgramData\\QUOR\\log\\quor.log", 12, "C:\\ProgramData\\QUOR\\log\\quor.12.log"},
        {"C:\\logs\\quor", 1, "C:\\logs\\quor.1"},             // no dot at all
        {".hidden", 1, ".hidden.1"},                           // dot is the first character
        {"name.", 1, "name..1"},                               // dot is the last character
        {"C:\\dir.d\\file", 1, "C:\\dir.d\\file.1"},           // dot before the last separator
        {"dir/.profile", 1, "dir/.profile.1"},                 // separator just before the dot
        {"dir/a.b.txt", 2, "dir/a.b.2.txt"},                   // last dot counts
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Logger::BackupName(c.base, c.n), c.expected) << c.base << " #" << c.n;
    }
}

TEST(Logger, InitTwiceReturnsAlreadyInitialisedAndKeepsFirstFile)
{
    TempDir dir;
    Logger logger;
    const auto first = dir.Path() / "first.log";
    ASSERT_EQ(logger.Init(first.string()), 0U);
    EXPECT_EQ(logger.Init((dir.Path() / "second.log").string()), 1247U);
    logger.Log(1, __FILE__, __LINE__, "hello");
    EXPECT_NE(ReadFile(first).find("hello\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.Path() / "second.log"));
}

TEST(Logger, UninitialisedLoggerWritesNothing)
{
    Logger logger;
    logger.Log(3, __FILE__, __LINE__, "dropped");  // must not crash or create anything
    EXPECT_FALSE(logger.IsInitialised());
}

TEST(Logger, CreatesMissingDirectoriesSeveralLevelsDeep)
{
    TempDir dir;
    const auto path = dir.Path() / "a" / "b" / "c" / "d" / "deep.log";
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    logger.Log(2, "x.cpp", 3, "deep line");
    EXPECT_NE(ReadFile(path).find("[W][x.cpp:3]deep line\r\n"), std::string::npos);
}

TEST(Logger, OversizedFileAtStartIsRotatedByFirstLineReplacingOldBackup)
{
    TempDir dir;
    const auto path = dir.Path() / "quor.log";
    const auto backup = dir.Path() / "quor.1.log";
    {
        std::ofstream(backup, std::ios::binary) << "old backup";
        std::ofstream live(path, std::ios::binary);
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 6; ++i) {
            live << chunk;
        }
    }
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    EXPECT_EQ(logger.CurrentSize(), 6U << 20);
    logger.Log(1, "f.cpp", 1, "first after start");
    EXPECT_EQ(fs::file_size(backup), 6U << 20);  // the old backup was replaced
    const auto lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find("first after start"), std::string::npos);
    EXPECT_EQ(logger.CurrentSize(), fs::file_size(path));
}

TEST(Logger, RotatesWhenCountPassesLimitAndKeepsNumberedBackups)
{
    TempDir dir;
    const auto path = dir.Path() / "r.log";
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    logger.SetLimits(300, 2);
    for (int i = 0; i < 40; ++i) {
        logger.Log(1, "r.cpp", i, "line " + std::to_string(i));
    }
    ASSERT_TRUE(fs::exists(dir.Path() / "r.1.log"));
    ASSERT_TRUE(fs::exists(dir.Path() / "r.2.log"));
    EXPECT_FALSE(fs::exists(dir.Path() / "r.3.log"));
    EXPECT_LE(fs::file_size(path), 300U);
    // Newest lines are in the live file, the ones just before in backup 1.
    EXPECT_NE(ReadFile(path).find("line 39\r\n"), std::string::npos);
    const auto b1 = Lines(ReadFile(dir.Path() / "r.1.log"));
    const auto live = Lines(ReadFile(path));
    ASSERT_FALSE(b1.empty());
    ASSERT_FALSE(live.empty());
    std::smatch m1;
    std::smatch m2;
    ASSERT_TRUE(std::regex_match(b1.back(), m1, kLine));
    ASSERT_TRUE(std::regex_match(live.front(), m2, kLine));
    EXPECT_EQ(std::stoi(m1[3]) + 1, std::stoi(m2[3]));  // no line lost at the seam
}

TEST(Logger, NoRotationWhileFileOnDiskIsEmpty)
{
    TempDir dir;
    const auto path = dir.Path() / "e.log";
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    logger.SetLimits(200, 1);
    logger.Log(1, "e.cpp", 1, std::string(150, 'a'));
    fs::resize_file(path, 0);  // emptied from outside
    logger.Log(1, "e.cpp", 2, std::string(150, 'b'));
    EXPECT_FALSE(fs::exists(dir.Path() / "e.1.log"));
    EXPECT_GT(logger.CurrentSize(), 200U);  // the count keeps growing
    EXPECT_NE(ReadFile(path).find(std::string(150, 'b')), std::string::npos);
    // The next check finds a non-empty file and rotates.
    logger.Log(1, "e.cpp", 3, "after");
    EXPECT_TRUE(fs::exists(dir.Path() / "e.1.log"));
    EXPECT_EQ(Lines(ReadFile(path)).size(), 1U);
}

TEST(Logger, WriteSideFailureSilencesForGood)
{
    TempDir dir;
    const auto path = dir.Path() / "s.log";
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    logger.Log(1, "s.cpp", 1, "before");
    // The stream is lost under the logger: the next line cannot be written.
    logger.File().Close();
    logger.Log(1, "s.cpp", 2, "lost");
    EXPECT_FALSE(logger.IsEnabled());
    // The cause goes away; nothing is written any more.
    ASSERT_TRUE(logger.File().Open(path.string(), false));
    logger.Log(1, "s.cpp", 3, "never");
    EXPECT_FALSE(logger.IsEnabled());
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("before"), std::string::npos);
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_EQ(text.find("never"), std::string::npos);
}

TEST(Logger, FlushFailureAtTheSizeCheckSilences)
{
    TempDir dir;
    const auto path = dir.Path() / "logs" / "s.log";
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    logger.SetLimits(100, 1);
    logger.Log(1, "s.cpp", 1, std::string(90, 'a'));
    logger.File().Close();
    logger.Log(1, "s.cpp", 2, std::string(90, 'b'));  // passes the limit: flush fails first
    EXPECT_FALSE(logger.IsEnabled());
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "logs" / "s.1.log"));
}

TEST(Logger, ConcurrentLoggersNeverTearLines)
{
    TempDir dir;
    const auto path = dir.Path() / "c.log";
    Logger logger;
    ASSERT_EQ(logger.Init(path.string()), 0U);
    constexpr int kThreads = 4;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < kLines; ++i) {
                logger.Log(1 + t % 3, "thread.cpp", t, "t" + std::to_string(t) + " i" + std::to_string(i) + " " +
                                                           std::string(40, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto lines = Lines(ReadFile(path));
    int count = 0;
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, kLine)) << "torn line: " << l;
        const int t = std::stoi(m[3]);
        EXPECT_EQ(m[4].str().substr(m[4].str().size() - 40), std::string(40, static_cast<char>('a' + t)));
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    EXPECT_EQ(logger.CurrentSize(), fs::file_size(path));
}

TEST(Logger, OpenFailureReturnsFunctionFailed)
{
    TempDir dir;
    const auto blocker = dir.Path() / "file";
    std::ofstream(blocker) << "x";
    Logger logger;
    logger.File().SetOpenRetry(2, 1);
    EXPECT_EQ(logger.Init((blocker / "sub" / "x.log").string()), 1627U);
    EXPECT_FALSE(logger.IsInitialised());
}
