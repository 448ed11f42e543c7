// Runs the registered benchmarks and prints "RATIO <name> <ours/baseline>" from the
// items-per-second of the two named runs (higher is better).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace quorbench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // No colours: the RATIO line must stand on a line of its own.
    RatioReporter() : benchmark::ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) {
                rates_[r.run_name.function_name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Rate(const std::string& name) const
    {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rates_;
};

inline int RunWithRatio(int argc, char** argv, const char* ratioName, const char* ours, const char* baseline)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double b = reporter.Rate(baseline);
    const double o = reporter.Rate(ours);
    if (b <= 0.0 || o <= 0.0) {
        std::fprintf(stderr, "missing results for %s / %s\n", ours, baseline);
        return 1;
    }
    std::printf("RATIO %s %.3f\n", ratioName, o / b);
    return 0;
}

}  // namespace quorbench
