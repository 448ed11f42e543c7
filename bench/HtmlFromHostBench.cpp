// A 20 MiB HTML fragment with 100 local images from the host to the guest: the host sends
// the HtmlShareName and the HTML message, and the time runs from the start of that send to
// the end of the guest's clipboard write (the listen thread receives, decodes, rewrites the
// image paths to the share and places the "HTML Format" block; a watcher window hears the
// clipboard close). Baseline: a raw receive of the same message bytes over a Unix socket
// pair into memory just allocated, as the guest's is; the receive into a buffer used before
// is printed beside it. Alternating rounds, median of the rounds' ratios; all threads on one
// processor, at the lowest real-time priority (bench/BenchIo.h).
#include <cstdio>
#include <string>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"

#include "bench/ShareBench.h"

namespace {

constexpr const char* kShare = "clipboard_1700000000";
constexpr int kRounds = 7;

std::string MakeHtml()
{
    const std::size_t total = (20u << 20) - 4096;
    const std::string filler = "<p class=\"x\">Lorem ipsum dolor sit amet, consectetur adipiscing elit.</p>";
    std::string s = "<html><body>";
    for (int i = 0; i < 100; ++i) {
        while (s.size() < total / 100 * static_cast<std::size_t>(i + 1) - 64) {
            s += filler;
        }
        s += "<img src=\"file:///C:/Users/u/Pictures/img" + std::to_string(i) + ".png\">";
    }
    s += "</body></html>";
    return s;
}

}  // namespace

int main()
{
    quorbench::TakeOneProcessorAheadOfOthers();
    const std::string html = MakeHtml();
    const std::vector<unsigned char> nameMessage = quor::ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, kShare);
    const std::vector<unsigned char> htmlHeader = quor::ShareHeader::BuildTextHtml(quor::ShareFormatHtml, 0, html.size());
    std::vector<unsigned char> message = nameMessage;
    message.insert(message.end(), htmlHeader.begin(), htmlHeader.end());
    message.insert(message.end(), html.begin(), html.end());
    std::vector<unsigned char> raw(message.size());

    quorbench::ShareBench bench;
    quorbench::RawPair pair;
    if (!bench.Start() || !pair.Ok()) {
        return 1;
    }
    const std::uint32_t htmlFormat = quor::platform::RegisterClipboardFormatW(quor::kHtmlFormatName);
    const std::string rewritten = std::string("src=\"file:///\\\\Velt\\") + kShare + "\\img99.png\"";
    quorbench::Rounds rounds;
    std::vector<double> warmTimes;
    for (int round = 0; round < kRounds; ++round) {
        double ours = 0;
        double base = 0;
        const auto oursOnce = [&] {
            const std::uint64_t seen = bench.Updates();
            const auto t0 = quorbench::Clock::now();
            if (!bench.Host().SendAll(nameMessage.data(), nameMessage.size()) ||
                !bench.Host().SendClip(quor::ShareFormatHtml, htmlHeader, html.data(), html.size()) ||
                !bench.WaitUpdate(seen)) {
                std::fprintf(stderr, "the guest did not place the HTML\n");
                return false;
            }
            ours = quorbench::Seconds(t0, quorbench::Clock::now());
            const std::vector<unsigned char> block = bench.AppGets(htmlFormat);
            const std::string placed(block.begin(), block.end());
            if (placed.size() < html.size() || placed.find(rewritten) == std::string::npos) {
                std::fprintf(stderr, "the guest placed other HTML\n");
                return false;
            }
            return true;
        };
        // The baseline receives into memory just allocated, as the guest's listen thread does
        // (it sizes its buffer for each message and releases it afterwards); the receive into
        // a buffer used before is timed too and printed beside it.
        const auto baseOnce = [&] {
            return pair.FreshThenWarm(quorbench::RawPair::Fresh::Receiver, message.data(), message.size(), raw.data(),
                                      base, warmTimes);
        };
        if (!quorbench::Rounds::InOrder(round, oursOnce, baseOnce)) {
            return 1;
        }
        rounds.Add(ours, base);
    }
    const double mib = static_cast<double>(message.size()) / (1 << 20);
    rounds.Print("host HTML to guest clipboard", "raw socket into fresh memory", "MiB/s", mib, "20 MiB, 100 images",
                 "html_from_host", quorbench::WarmNote(warmTimes, mib, rounds.OursRate(mib)));
    return 0;
}
