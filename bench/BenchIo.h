// Small helpers the benchmarks share: exact socket reads and writes, seconds between two
// time points, and the rounds that time ours against its baseline.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace quorbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

inline bool ReadExact(int fd, unsigned char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

inline bool SendExact(int fd, const unsigned char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Keeps the calling thread, and every thread it starts afterwards, on the processor it runs
// on now. A ping-pong between two threads costs a few microseconds per hand-off when both
// sit on one processor, but when the scheduler has put them on two, every hand-off wakes an
// idle processor, which on a virtual machine costs tens of microseconds, and the pair tends
// to stay split for many rounds. Which pair of a benchmark gets split is chance, so without
// this the ratio of two ping-pongs measures the scheduler, not the code. False when the
// affinity cannot be set (the benchmark then runs unpinned).
inline bool PinToOneProcessor()
{
    const int cpu = ::sched_getcpu();
    if (cpu < 0) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

// Gives the calling thread, and every thread it starts afterwards, the lowest real-time
// priority. A round times its two sides back to back, but other processes of the machine (a
// build, a test run beside the benchmark) take the processor from a side that runs longer
// than the scheduler's slice and not from one that fits in it: a 9 ms transfer is cut where
// its 3 ms baseline is not, and under load the ratio measures the load. At this priority no
// ordinary process preempts either side; the threads block on their sockets as before, so
// the machine keeps its other processor and the gaps between transfers. False when the
// priority is not allowed (the benchmark then runs as an ordinary process).
inline bool RunAheadOfOrdinaryProcesses()
{
    sched_param param{};
    param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    return ::sched_setscheduler(0, SCHED_FIFO, &param) == 0;
}

// The times of alternating rounds, each doing the same work once through ours and once
// through the baseline, back to back. A round's ratio compares two runs made under the
// same load; the benchmark's ratio is the median of the rounds' ratios, and the rates it
// prints are the two sides' rates in that median round, so that they give exactly the
// ratio. A round slowed down by other work on the machine moves neither.
class Rounds {
public:
    // Even rounds time ours first, odd rounds the baseline first, so that neither side
    // always runs on what the other left in the caches and the scheduler.
    static bool OursFirst(int round) { return round % 2 == 0; }
    // Runs the round's two sides, each returning false on failure, in the round's order;
    // false as soon as one failed.
    template <class Ours, class Baseline>
    static bool InOrder(int round, Ours&& ours, Baseline&& baseline)
    {
        return OursFirst(round) ? ours() && baseline() : baseline() && ours();
    }

    void Add(double oursSeconds, double baseSeconds) { rounds_.push_back({oursSeconds, baseSeconds}); }
    // Times `count` rounds of `ours()` and `baseline()`, each returning false on failure;
    // false as soon as one failed.
    template <class Ours, class Baseline>
    bool Time(int count, Ours&& ours, Baseline&& baseline)
    {
        for (int round = 0; round < count; ++round) {
            const bool oursFirst = OursFirst(round);
            const auto t0 = Clock::now();
            if (!(oursFirst ? ours() : baseline())) {
                return false;
            }
            const auto t1 = Clock::now();
            if (!(oursFirst ? baseline() : ours())) {
                return false;
            }
            const auto t2 = Clock::now();
            const double first = Seconds(t0, t1);
            const double second = Seconds(t1, t2);
            Add(oursFirst ? first : second, oursFirst ? second : first);
        }
        return true;
    }
    int Count() const { return static_cast<int>(rounds_.size()); }

    // Ours / baseline in work per second (higher is better) of the median round.
    double Ratio() const { return RatioOf(Median()); }
    // Work per second of each side in the median round.
    double OursRate(double workPerRound) const { return workPerRound / Median().ours; }
    double BaseRate(double workPerRound) const { return workPerRound / Median().base; }

    // "<what>: <ours> <unit>, <baseline>: <base> <unit> (median of N rounds of <round>;
    // rounds a..b)", then `more` when given (a line of its own), and then
    // "RATIO <name> <value>" on a line of its own.
    void Print(const char* what, const char* baseline, const char* unit, double workPerRound, const char* round,
               const char* ratioName, const std::string& more = {}) const
    {
        std::vector<Round> sorted = Sorted();
        std::printf("%s: %.0f %s, %s: %.0f %s (median of %d rounds of %s; rounds %.3f..%.3f)\n", what,
                    OursRate(workPerRound), unit, baseline, BaseRate(workPerRound), unit, Count(), round,
                    RatioOf(sorted.front()), RatioOf(sorted.back()));
        if (!more.empty()) {
            std::printf("%s\n", more.c_str());
        }
        std::printf("RATIO %s %.3f\n", ratioName, Ratio());
    }

private:
    struct Round {
        double ours;
        double base;
    };
    static double RatioOf(const Round& r) { return r.base / r.ours; }
    std::vector<Round> Sorted() const
    {
        std::vector<Round> v = rounds_;
        std::sort(v.begin(), v.end(), [](const Round& a, const Round& b) { return RatioOf(a) < RatioOf(b); });
        return v;
    }
    // The round whose ratio is the median (the lower one of the middle two of an even count).
    Round Median() const
    {
        const std::vector<Round> v = Sorted();
        return v[(v.size() - 1) / 2];
    }

    std::vector<Round> rounds_;
};

}  // namespace quorbench
