// Log lines per second through the logger (one formatted, written and flushed line per
// call) against a bare fwrite+fflush loop of lines of the same length. The two are
// timed in alternating rounds and the median of the rounds' ratios is reported, so
// that a change in machine load during the run does not favour either side.
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "shared/log/Log.h"
#include "shared/log/Logger.h"

#include "bench/BenchIo.h"

namespace {

const std::string kMessage = "Found virtio serial device with host port idx: 4";
constexpr int kLinesPerRound = 20000;
constexpr int kRounds = 15;

}  // namespace

int main()
{
    const auto dir = std::filesystem::temp_directory_path() / ("quor-bench-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    quor::Logger logger;
    if (logger.Init((dir / "bench.log").string()) != 0) {
        std::fprintf(stderr, "logger init failed\n");
        return 1;
    }
    // As QLOG passes it: the source base name is found at compile time.
    const char* file = quor::SourceBaseName(__FILE__);
    const std::string line = quor::Logger::FormatLine(quor::kLogInfo, file, __LINE__, kMessage);
    std::FILE* f = std::fopen((dir / "baseline.log").string().c_str(), "ab");
    if (f == nullptr) {
        return 1;
    }
    const auto ours = [&] {
        for (int i = 0; i < kLinesPerRound; ++i) {
            logger.Log(quor::kLogInfo, file, __LINE__, kMessage);
        }
        return true;
    };
    const auto baseline = [&] {
        for (int i = 0; i < kLinesPerRound; ++i) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fflush(f);
        }
        return true;
    };
    quorbench::Rounds rounds;
    (void)rounds.Time(kRounds, ours, baseline);
    std::fclose(f);
    rounds.Print("logger", "fwrite+fflush", "lines/s", kLinesPerRound, (std::to_string(kLinesPerRound) + " lines").c_str(),
                 "log_lines_vs_fwrite");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return logger.IsEnabled() ? 0 : 1;
}
