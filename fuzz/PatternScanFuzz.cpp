// The linear scanners against std::regex on arbitrary text: any difference aborts. Byte 0
// picks the scanner, the rest (at most kMaxText bytes, which std::regex's recursion
// survives) is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "quorsharemgr/PatternScan.h"

namespace scan = quor::scan;

namespace {

constexpr std::size_t kMaxText = 512;

void Check(bool same)
{
    if (!same) {
        std::abort();
    }
}

void ImageSources(const std::string& s)
{
    static const std::regex re("src=\"file:///(.*?)[\"']");
    std::vector<std::pair<std::size_t, std::string>> theirs;
    std::smatch m;
    auto start = s.cbegin();
    while (std::regex_search(start, s.cend(), m, re)) {
        theirs.emplace_back(static_cast<std::size_t>(m[0].first - s.cbegin()), m[1].str());
        start = m[0].second;
    }
    std::vector<std::pair<std::size_t, std::string>> ours;
    std::size_t from = 0;
    while (auto found = scan::FindImageSource(s, from)) {
        ours.emplace_back(found->begin, std::string(found->path));
        from = found->end;
    }
    Check(ours == theirs);
}

void Rewrite(const std::string& s)
{
    static const std::regex re("(src=\"file:///)(.*?)(\\\\|/)([^\\\\\"/]*[\"])");
    static const std::string share = "clipboard_1700000000";
    Check(scan::RewriteImagePaths(s, share) == std::regex_replace(s, re, "$1\\\\Velt\\" + share + "\\$4"));
    // The HTML received from the host ends at its first NUL.
    std::vector<unsigned char> upToNul;
    scan::AppendImagePathsRewritten(s, share, upToNul);
    const std::string before = s.substr(0, s.find('\0'));
    Check(std::string(upToNul.begin(), upToNul.end()) ==
          std::regex_replace(before, re, "$1\\\\Velt\\" + share + "\\$4"));
}

void FileName(const std::string& s)
{
    static const std::regex re(".+[\\\\/](.+)$");
    std::smatch m;
    const bool hit = std::regex_search(s, m, re);
    const auto ours = scan::FileNameOf(s);
    Check(ours.has_value() == hit && (!hit || std::string(*ours) == m[1].str()));
}

void StartHtml(const std::string& s)
{
    static const std::regex re("StartHTML:(\\d+)");
    std::smatch m;
    const bool hit = std::regex_search(s, m, re);
    const auto ours = scan::FindStartHtml(s);
    Check(ours.has_value() == hit && (!hit || std::string(*ours) == m[1].str()));
}

void UncRoot(const std::string& s)
{
    static const std::wregex re(L"\\\\\\\\[^\\\\]+\\\\[^\\\\]+");
    // Pairs of bytes are UTF-16 units, so units beyond one byte are reached.
    std::u16string u;
    std::wstring w;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        const auto c = static_cast<char16_t>(static_cast<unsigned char>(s[i]) |
                                             (static_cast<unsigned char>(s[i + 1]) << 8));
        u.push_back(c);
        w.push_back(static_cast<wchar_t>(c));
    }
    std::wsmatch m;
    const bool hit = std::regex_search(w, m, re);
    const auto ours = scan::FindUncRoot(u);
    Check(ours.has_value() == hit &&
          (!hit || (ours->begin == static_cast<std::size_t>(m.position(0)) &&
                    ours->length == static_cast<std::size_t>(m.length(0)))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size - 1 > kMaxText) {
        return 0;
    }
    const std::string s(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0: ImageSources(s); break;
    case 1: Rewrite(s); break;
    case 2: FileName(s); break;
    case 3: StartHtml(s); break;
    default: UncRoot(s); break;
    }
    return 0;
}
