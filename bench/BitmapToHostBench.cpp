// A 128 MiB DIB from the guest to the host: another application puts the bitmap on the
// simulated clipboard, and the time runs from the host's SyncToHost to the last byte of the
// bitmap message read at the host's end of the clipboard port (the capture sends straight
// from the locked clipboard block). Baseline: a raw send of the same message bytes (header,
// file header, DIB) over a Unix socket pair, read by the caller, from memory as fresh as the
// clipboard block (bench/ShareBench.h, FreshCopy); the same send from a buffer sent before is
// printed beside it. Alternating rounds, median of the rounds' ratios; all threads on one
// processor, at the lowest real-time priority (bench/BenchIo.h).
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"

#include "bench/ShareBench.h"

namespace {

constexpr std::size_t kSize = 128u << 20;
constexpr int kRounds = 5;

std::vector<unsigned char> MakeDib()
{
    std::vector<unsigned char> dib(kSize);
    for (std::size_t i = 0; i < dib.size(); ++i) {
        dib[i] = static_cast<unsigned char>(i * 7 + (i >> 16));
    }
    std::memset(dib.data(), 0, 40);
    const std::uint32_t info = 40;
    const std::int32_t width = 4096;
    const std::int32_t height = 8191;
    const std::uint16_t planes = 1;
    const std::uint16_t bits = 32;
    std::memcpy(dib.data(), &info, 4);
    std::memcpy(dib.data() + 4, &width, 4);
    std::memcpy(dib.data() + 8, &height, 4);
    std::memcpy(dib.data() + 12, &planes, 2);
    std::memcpy(dib.data() + 14, &bits, 2);
    return dib;
}

}  // namespace

int main()
{
    quorbench::TakeOneProcessorAheadOfOthers();
    const std::vector<unsigned char> dib = MakeDib();
    quorbench::ShareBench bench;
    quorbench::RawPair pair;
    if (!bench.Start() || !pair.Ok()) {
        return 1;
    }
    std::vector<unsigned char> message;  // as the guest sent it, for the baseline
    std::vector<unsigned char> raw;
    quorhost::ClipMessage got;
    quorbench::Rounds rounds;
    std::vector<double> warmTimes;
    for (int round = 0; round < kRounds; ++round) {
        double ours = 0;
        double base = 0;
        const auto oursOnce = [&] {
            if (!bench.AppSets(quor::kCfDib, dib.data(), dib.size())) {
                std::fprintf(stderr, "the guest did not see the copy\n");
                return false;
            }
            const auto t0 = quorbench::Clock::now();
            if (!bench.Agent().SyncToHost() || !bench.Host().RecvClip(got, 20000)) {
                std::fprintf(stderr, "no bitmap from the guest\n");
                return false;
            }
            ours = quorbench::Seconds(t0, quorbench::Clock::now());
            if (got.format != quor::ShareFormatBitmap || got.data != dib) {
                std::fprintf(stderr, "the host received another bitmap\n");
                return false;
            }
            if (message.empty()) {
                message = got.header;
                message.insert(message.end(), got.data.begin(), got.data.end());
                raw.resize(message.size());
            }
            return true;
        };
        // The baseline sends from fresh memory as ours does; the send from the buffer it
        // has sent before is timed too and printed beside it. The first round runs ours
        // first: the baseline sends the message ours produced.
        const auto baseOnce = [&] {
            return pair.FreshThenWarm(quorbench::RawPair::Fresh::Sender, message.data(), message.size(), raw.data(),
                                      base, warmTimes);
        };
        if (!quorbench::Rounds::InOrder(round, oursOnce, baseOnce)) {
            return 1;
        }
        rounds.Add(ours, base);
    }
    const double mib = static_cast<double>(message.size()) / (1 << 20);
    rounds.Print("guest bitmap to host", "raw socket from fresh memory", "MiB/s", mib, "128 MiB", "bitmap_to_host",
                 quorbench::WarmNote(warmTimes, mib, rounds.OursRate(mib)));
    return 0;
}
