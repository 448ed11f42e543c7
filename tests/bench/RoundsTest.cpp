// The benchmarks' rounds: the ratio is the median round's, and the printed rates of that
// round give exactly the ratio; rounds alternate which side runs first and stop at the
// first failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/BenchIo.h"

namespace {

struct RoundsCase {
    const char* name;
    std::vector<std::pair<double, double>> rounds;  // seconds of ours, of the baseline
    double ratio;
    double oursSeconds;  // of the median round
    double baseSeconds;
};

TEST(BenchRounds, MedianRoundGivesRatioAndRates)
{
    const RoundsCase cases[] = {
        {"one round", {{2.0, 1.0}}, 0.5, 2.0, 1.0},
        {"a slow round of ours moves nothing", {{1.0, 0.5}, {1.0, 0.6}, {10.0, 0.5}}, 0.5, 1.0, 0.5},
        {"a slow baseline round moves nothing", {{1.0, 0.7}, {1.0, 9.0}, {1.0, 0.6}}, 0.7, 1.0, 0.7},
        {"even count takes the lower middle", {{1.0, 0.4}, {1.0, 0.8}, {2.0, 1.2}, {1.0, 0.9}}, 0.6, 2.0, 1.2},
        {"the median round, not the medians of each side", {{1.0, 3.0}, {3.0, 1.0}, {2.0, 0.5}}, 1.0 / 3.0, 3.0, 1.0},
    };
    constexpr double kWork = 1000;
    for (const RoundsCase& c : cases) {
        SCOPED_TRACE(c.name);
        quorbench::Rounds rounds;
        for (const auto& [ours, base] : c.rounds) {
            rounds.Add(ours, base);
        }
        EXPECT_EQ(rounds.Count(), static_cast<int>(c.rounds.size()));
        EXPECT_DOUBLE_EQ(rounds.Ratio(), c.ratio);
        EXPECT_DOUBLE_EQ(rounds.OursRate(kWork), kWork / c.oursSeconds);
        EXPECT_DOUBLE_EQ(rounds.BaseRate(kWork), kWork / c.baseSeconds);
        EXPECT_DOUBLE_EQ(rounds.OursRate(kWork) / rounds.BaseRate(kWork), rounds.Ratio());
    }
}

TEST(BenchRounds, AlternatesOrderAndStopsAtFirstFailure)
{
    struct Case {
        const char* name;
        int failOursAt;  // 1-based call of ours that fails, 0 for none
        int failBaseAt;
        bool result;
        std::string calls;  // o = ours, b = baseline
        int counted;
    };
    const Case cases[] = {
        {"all succeed", 0, 0, true, "obboobbo", 4},
        {"ours fails in the second round, run second", 2, 0, false, "obbo", 1},
        {"baseline fails in the first round", 0, 1, false, "ob", 0},
        {"baseline fails first in the second round", 0, 2, false, "obb", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string calls;
        int ours = 0;
        int base = 0;
        quorbench::Rounds rounds;
        const bool ok = rounds.Time(
            4, [&] { calls += 'o'; return ++ours != c.failOursAt; },
            [&] { calls += 'b'; return ++base != c.failBaseAt; });
        EXPECT_EQ(ok, c.result);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(rounds.Count(), c.counted);
    }
}

}  // namespace
