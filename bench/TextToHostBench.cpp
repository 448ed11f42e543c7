// 20 MiB of guest text to the host: another application puts the text on the simulated
// clipboard, and the time runs from the host's SyncToHost to the last byte of the text
// message received by the host's clipboard agent (the listen thread, the window thread's
// capture and UTF-8 conversion, the transport, the simulated port socket), into the buffer
// of its previous message. Baseline: a raw send of the same UTF-8 bytes over a Unix socket
// pair from memory as fresh as the guest's converted text (bench/ShareBench.h, FreshCopy),
// read by the caller into a buffer it keeps; the same send from a buffer sent before is
// printed beside it. Alternating rounds, median of the rounds' ratios; all threads on one
// processor, at the lowest real-time priority (bench/BenchIo.h).
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/ShareFormat.h"

#include "bench/ShareBench.h"

namespace {

constexpr std::size_t kUtf8Bytes = 20u << 20;  // the text without its NUL
constexpr int kRounds = 7;

// Mostly ASCII with a two-byte character now and then; UTF-16 with its NUL for the
// clipboard, UTF-8 with its NUL as the guest sends it.
void MakeText(std::vector<unsigned char>& utf16, std::string& utf8)
{
    const std::string line = "The quick brown fox jumps over the lazy dog, caf\xc3\xa9 cr\xc3\xa8me.\r\n";
    while (utf8.size() + line.size() <= kUtf8Bytes) {
        utf8 += line;
    }
    utf8.append(kUtf8Bytes - utf8.size(), 'x');
    utf16.reserve(utf8.size() * 2 + 2);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        char16_t c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0xC0) {
            c = static_cast<char16_t>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        }
        utf16.push_back(static_cast<unsigned char>(c & 0xFF));
        utf16.push_back(static_cast<unsigned char>(c >> 8));
    }
    utf16.push_back(0);
    utf16.push_back(0);
    utf8.push_back('\0');
}

}  // namespace

int main()
{
    quorbench::TakeOneProcessorAheadOfOthers();
    std::vector<unsigned char> utf16;
    std::string utf8;
    MakeText(utf16, utf8);
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    std::vector<unsigned char> raw(utf8.size());

    quorbench::ShareBench bench;
    quorbench::RawPair pair;
    if (!bench.Start() || !pair.Ok()) {
        return 1;
    }
    quorhost::ClipMessage got;
    quorbench::Rounds rounds;
    std::vector<double> warmTimes;
    for (int round = 0; round < kRounds; ++round) {
        double ours = 0;
        double base = 0;
        const auto oursOnce = [&] {
            if (!bench.AppSets(quor::kCfUnicodeText, utf16.data(), utf16.size())) {
                std::fprintf(stderr, "the guest did not see the copy\n");
                return false;
            }
            const auto t0 = quorbench::Clock::now();
            if (!bench.Agent().SyncToHost() || !bench.Agent().NextData(got, 20000)) {
                std::fprintf(stderr, "no text from the guest\n");
                return false;
            }
            ours = quorbench::Seconds(t0, quorbench::Clock::now());
            quorhost::GuestClip clip;
            if (!bench.Agent().Decode(std::move(got), clip) || clip.format != quor::ShareFormatUnicodeText ||
                clip.text != utf8) {
                std::fprintf(stderr, "the host received other text\n");
                return false;
            }
            got = std::move(clip.raw);  // its buffer for the next round, as the baseline keeps its own
            return true;
        };
        // The baseline sends from fresh memory, as ours sends the UTF-8 it has just made;
        // the send from the buffer it has sent before is timed too and printed beside it.
        const auto baseOnce = [&] {
            return pair.FreshThenWarm(quorbench::RawPair::Fresh::Sender, bytes, utf8.size(), raw.data(), base,
                                      warmTimes);
        };
        if (!quorbench::Rounds::InOrder(round, oursOnce, baseOnce)) {
            return 1;
        }
        rounds.Add(ours, base);
    }
    const double mib = static_cast<double>(utf8.size()) / (1 << 20);
    rounds.Print("guest text to host", "raw socket from fresh memory", "MiB/s", mib, "20 MiB", "text_to_host",
                 quorbench::WarmNote(warmTimes, mib, rounds.OursRate(mib)));
    return 0;
}
