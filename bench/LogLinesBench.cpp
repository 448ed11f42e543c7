// Log lines per second through the logger (one formatted, written and flushed line per
// call) against a bare fwrite+fflush loop of lines of the same length. The two are
// timed in alternating rounds and the median of the per-round ratios is reported, so
// that a change in machine load during the run does not favour either side.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "shared/log/Log.h"
#include "shared/log/Logger.h"

#include "bench/BenchIo.h"

namespace {

using quorbench::Clock;
using quorbench::ReadExact;
using quorbench::SendExact;
using quorbench::Seconds;
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
    std::vector<double> ratios;
    double oursTotal = 0;
    double baseTotal = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kLinesPerRound; ++i) {
            logger.Log(quor::kLogInfo, file, __LINE__, kMessage);
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kLinesPerRound; ++i) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fflush(f);
        }
        const auto t2 = Clock::now();
        oursTotal += Seconds(t0, t1);
        baseTotal += Seconds(t1, t2);
        ratios.push_back(Seconds(t1, t2) / Seconds(t0, t1));  // (ours lines/s) / (baseline lines/s)
    }
    std::fclose(f);
    std::sort(ratios.begin(), ratios.end());
    std::printf("logger: %.0f lines/s, fwrite+fflush: %.0f lines/s (%d rounds of %d lines)\n",
                kRounds * kLinesPerRound / oursTotal, kRounds * kLinesPerRound / baseTotal, kRounds, kLinesPerRound);
    std::printf("RATIO log_lines_vs_fwrite %.3f\n", ratios[ratios.size() / 2]);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return logger.IsEnabled() ? 0 : 1;
}
