// The image-source scan and the image-path rewrite over a 20 MiB one-line HTML with 100
// image references: the linear scanners against std::regex doing the same work.
// Prints "RATIO html_image_scan <regex time / ours>" (the items-per-second of ours over
// those of std::regex), after checking that both give the same results and that a
// 100,000-character unterminated image path is handled.
#include <regex>
#include <string>

#include "bench/RatioMain.h"
#include "quorsharemgr/PatternScan.h"

namespace {

constexpr const char* kShare = "clipboard_1700000000";

const std::string& Html()
{
    static const std::string html = [] {
        const std::size_t total = 20u << 20;
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
    }();
    return html;
}

std::size_t OursOnce(const std::string& html, std::string& rewritten)
{
    std::size_t found = 0;
    std::size_t from = 0;
    while (auto m = quor::scan::FindImageSource(html, from)) {
        from = m->end;
        found += m->path.size();
    }
    rewritten = quor::scan::RewriteImagePaths(html, kShare);
    return found;
}

std::size_t RegexOnce(const std::string& html, std::string& rewritten)
{
    static const std::regex source("src=\"file:///(.*?)[\"']");
    static const std::regex rewrite("(src=\"file:///)(.*?)(\\\\|/)([^\\\\\"/]*[\"])");
    std::size_t found = 0;
    std::smatch m;
    auto start = html.cbegin();
    while (std::regex_search(start, html.cend(), m, source)) {
        found += static_cast<std::size_t>(m[1].length());
        start = m[0].second;
    }
    rewritten = std::regex_replace(html, rewrite, std::string("$1\\\\Velt\\") + kShare + "\\$4");
    return found;
}

void BM_Ours(benchmark::State& state)
{
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(OursOnce(Html(), out));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_StdRegex(benchmark::State& state)
{
    std::string out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(RegexOnce(Html(), out));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdRegex)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv)
{
    std::string ours;
    std::string theirs;
    if (OursOnce(Html(), ours) != RegexOnce(Html(), theirs) || ours != theirs) {
        std::fprintf(stderr, "the scanners and std::regex disagree\n");
        return 1;
    }
    const std::string unterminated = "<img src=\"file:///" + std::string(100000, 'a');
    if (quor::scan::FindImageSource(unterminated) || quor::scan::RewriteImagePaths(unterminated, kShare) != unterminated) {
        std::fprintf(stderr, "unterminated path mishandled\n");
        return 1;
    }
    std::printf("unterminated 100000-character image path: handled\n");
    return quorbench::RunWithRatio(argc, argv, "html_image_scan", "BM_Ours", "BM_StdRegex");
}
