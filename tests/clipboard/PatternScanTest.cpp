// The scanners against std::regex itself: generated inputs made of the characters and
// fragments each pattern cares about, short enough for std::regex's recursion.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "quorsharemgr/PatternScan.h"

namespace scan = quor::scan;

namespace {

std::string Generate(std::mt19937& rng, const std::vector<std::string>& pieces, std::size_t maxPieces)
{
    std::uniform_int_distribution<std::size_t> count(0, maxPieces);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string s;
    const std::size_t n = count(rng);
    for (std::size_t i = 0; i < n; ++i) {
        s += pieces[pick(rng)];
    }
    return s;
}

const std::vector<std::string> kHtmlPieces = {
    "src=\"file:///", "src=\"file:///", "src=\"", "file:///", "\"", "'", "/", "\\", "\n", "\r", "a", "bc",
    " ", "<img ", std::string(1, '\0'), "\xC3\xA9",
};

// What the program did with std::regex: search, then search again where the match ended.
std::vector<std::pair<std::size_t, std::string>> RegexImageSources(const std::string& s)
{
    static const std::regex re("src=\"file:///(.*?)[\"']");
    std::vector<std::pair<std::size_t, std::string>> found;
    std::smatch m;
    auto start = s.cbegin();
    while (std::regex_search(start, s.cend(), m, re)) {
        found.emplace_back(static_cast<std::size_t>(m[0].first - s.cbegin()), m[1].str());
        start = m[0].second;
    }
    return found;
}

std::vector<std::pair<std::size_t, std::string>> OurImageSources(const std::string& s)
{
    std::vector<std::pair<std::size_t, std::string>> found;
    std::size_t from = 0;
    while (auto m = scan::FindImageSource(s, from)) {
        found.emplace_back(m->begin, std::string(m->path));
        from = m->end;
    }
    return found;
}

}  // namespace

TEST(PatternScan, ImageSourceMatchesStdRegex)
{
    std::mt19937 rng(1001);
    for (int i = 0; i < 20000; ++i) {
        const std::string s = Generate(rng, kHtmlPieces, 24);
        ASSERT_EQ(OurImageSources(s), RegexImageSources(s)) << "input: " << s;
    }
}

// The HTML received from the host ends at its first NUL, which the rewrite finds itself.
std::string RewrittenUpToNul(const std::string& s, const std::string& share)
{
    std::vector<unsigned char> out = {'>'};
    scan::AppendImagePathsRewritten(s, share, out);
    return std::string(out.begin() + 1, out.end());
}

TEST(PatternScan, RewriteUpToTheFirstNulIsTheRewriteOfTheTextBeforeIt)
{
    const std::string share = "S";
    std::mt19937 rng(1003);
    for (int i = 0; i < 20000; ++i) {
        const std::string s = Generate(rng, kHtmlPieces, i % 2 == 0 ? 24 : 120);
        ASSERT_EQ(RewrittenUpToNul(s, share), scan::RewriteImagePaths(s.substr(0, s.find('\0')), share))
            << "input: " << s;
    }
    // A NUL at every place around a match at every alignment of the blocks the search
    // reads: before it, inside the prefix, the path or its quote, and after it.
    const std::string image = "src=\"file:///C:/d/i.png\"";
    for (std::size_t at = 0; at <= 140; at += 3) {
        const std::string html = std::string(at, 'a') + image + std::string(90, 'b');
        for (std::size_t nul = 0; nul <= html.size(); ++nul) {
            std::string cut = html;
            if (nul < cut.size()) {
                cut[nul] = '\0';
            }
            ASSERT_EQ(RewrittenUpToNul(cut, share), scan::RewriteImagePaths(html.substr(0, nul), share))
                << at << " " << nul;
        }
    }
}

TEST(PatternScan, RewriteMatchesStdRegexReplace)
{
    std::mt19937 rng(1002);
    const std::string share = "clipboard_1700000000";
    static const std::regex re("(src=\"file:///)(.*?)(\\\\|/)([^\\\\\"/]*[\"])");
    const std::string format = "$1\\\\Velt\\" + share + "\\$4";
    for (int i = 0; i < 20000; ++i) {
        const std::string s = Generate(rng, kHtmlPieces, 24);
        ASSERT_EQ(scan::RewriteImagePaths(s, share), std::regex_replace(s, re, format)) << "input: " << s;
    }
}

TEST(PatternScan, FileNameMatchesStdRegex)
{
    std::mt19937 rng(1003);
    static const std::regex re(".+[\\\\/](.+)$");
    const std::vector<std::string> pieces = {"a", "b", "/", "\\", "\n", "\r", "C:", ".png", std::string(1, '\0')};
    for (int i = 0; i < 20000; ++i) {
        const std::string s = Generate(rng, pieces, 12);
        std::smatch m;
        const bool hit = std::regex_search(s, m, re);
        const auto ours = scan::FileNameOf(s);
        ASSERT_EQ(ours.has_value(), hit) << "input: " << s;
        if (hit) {
            ASSERT_EQ(std::string(*ours), m[1].str()) << "input: " << s;
        }
    }
}

TEST(PatternScan, StartHtmlMatchesStdRegex)
{
    std::mt19937 rng(1004);
    static const std::regex re("StartHTML:(\\d+)");
    const std::vector<std::string> pieces = {"StartHTML:", "StartHTML", ":", "0", "7", "9", "a", "\r\n", "Start"};
    for (int i = 0; i < 20000; ++i) {
        const std::string s = Generate(rng, pieces, 10);
        std::smatch m;
        const bool hit = std::regex_search(s, m, re);
        const auto ours = scan::FindStartHtml(s);
        ASSERT_EQ(ours.has_value(), hit) << "input: " << s;
        if (hit) {
            ASSERT_EQ(std::string(*ours), m[1].str()) << "input: " << s;
        }
    }
}

TEST(PatternScan, UncRootMatchesStdRegex)
{
    std::mt19937 rng(1005);
    static const std::wregex re(L"\\\\\\\\[^\\\\]+\\\\[^\\\\]+");
    const std::vector<std::string> pieces = {"\\", "\\\\", "a", "Velt", "/", ":", "\n"};
    for (int i = 0; i < 20000; ++i) {
        const std::string narrow = Generate(rng, pieces, 10);
        const std::u16string s(narrow.begin(), narrow.end());
        const std::wstring w(narrow.begin(), narrow.end());
        std::wsmatch m;
        const bool hit = std::regex_search(w, m, re);
        const auto ours = scan::FindUncRoot(s);
        ASSERT_EQ(ours.has_value(), hit) << "input: " << narrow;
        if (hit) {
            ASSERT_EQ(ours->begin, static_cast<std::size_t>(m.position(0))) << "input: " << narrow;
            ASSERT_EQ(ours->length, static_cast<std::size_t>(m.length(0))) << "input: " << narrow;
        }
    }
}

// The corners the generated inputs must reach, spelled out.
TEST(PatternScan, GrammarCorners)
{
    // The lazy group runs over a quote of the other kind and stops at the first of either.
    EXPECT_EQ(OurImageSources("src=\"file:///a'b\""), (std::vector<std::pair<std::size_t, std::string>>{{0, "a"}}));
    // A line break ends the candidate; the next one on a later line is found.
    EXPECT_EQ(OurImageSources("src=\"file:///a\nsrc=\"file:///b\""),
              (std::vector<std::pair<std::size_t, std::string>>{{15, "b"}}));
    // The name of a path ending in a separator is its last component with the separator.
    EXPECT_EQ(scan::FileNameOf("C:/dir/sub/"), std::optional<std::string_view>("sub/"));
    EXPECT_EQ(scan::FileNameOf("/x"), std::nullopt);
    EXPECT_EQ(scan::FileNameOf("a\\b/c"), std::optional<std::string_view>("c"));
    // The rewrite's group 2 may hold a quote: the directory part reaches over it.
    EXPECT_EQ(scan::RewriteImagePaths("<img src=\"file:///a\" x=\"b/c.png\">", "S"),
              "<img src=\"file:///\\\\Velt\\S\\c.png\">");
    // Single quotes and directory-less paths stay as they are.
    EXPECT_EQ(scan::RewriteImagePaths("src='file:///C:/a/b.png'", "S"), "src='file:///C:/a/b.png'");
    EXPECT_EQ(scan::RewriteImagePaths("src=\"file:///b.png\"", "S"), "src=\"file:///b.png\"");
    EXPECT_EQ(scan::RewriteImagePaths("src=\"file:///C:\\d\\b.png\"", "S"), "src=\"file:///\\\\Velt\\S\\b.png\"");
    EXPECT_EQ(scan::FindUncRoot(u"\\\\\\srv\\share\\x")->begin, 1U);
    EXPECT_EQ(scan::FindUncRoot(u"\\\\srv\\share\\x")->length, 11U);
}

TEST(PatternScan, ShareNameIsInsertedLiterally)
{
    // A regex replacement format would expand "$&" and "$1"; the share name is data.
    EXPECT_EQ(scan::RewriteImagePaths("src=\"file:///C:/d/i.png\"", "a$&b$1"),
              "src=\"file:///\\\\Velt\\a$&b$1\\i.png\"");
}

TEST(PatternScan, DecimalOffsetsBeyond32BitsAreRefused)
{
    struct Case {
        const char* digits;
        std::optional<std::uint32_t> value;
    };
    const Case cases[] = {
        {"0000000105", 105U},       {"4294967295", 4294967295U}, {"4294967296", std::nullopt},
        {"18446744073709551721", std::nullopt}, {"", std::nullopt}, {"000000000000000000000007", 7U},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scan::ParseDecimal32(c.digits), c.value) << c.digits;
    }
}

// Inputs far beyond what std::regex survives, handled in one pass.
TEST(PatternScan, LongInputsDoNotRecurse)
{
    const std::string unterminated = "<img src=\"file:///" + std::string(1000000, 'a');
    EXPECT_FALSE(scan::FindImageSource(unterminated).has_value());
    EXPECT_EQ(scan::RewriteImagePaths(unterminated, "S"), unterminated);
    std::string manySeparators = "src=\"file:///";
    for (int i = 0; i < 200000; ++i) {
        manySeparators += "a/";
    }
    EXPECT_EQ(scan::RewriteImagePaths(manySeparators + "x\"", "S"), "src=\"file:///\\\\Velt\\S\\x\"");
    EXPECT_EQ(std::string(*scan::FileNameOf(manySeparators + "n")), "n");
}

// The block searches at every alignment: the prefix at each offset of a filler that holds
// three of its characters in place without the rest (marked blocks that hold no match), or
// NULs, which end nothing for the image export; the UTF-16 NUL at each position, after and
// among units whose halves are 0x00, 0x01 or 0x80.
TEST(PatternScan, BlockSearchesFindTheFirstOccurrenceAtEveryAlignment)
{
    const std::string prefix = "src=\"file:///";
    const std::string fillers[] = {
        "abcdefgh",
        std::string("s\x00\x01x\"xxxxxxx/", 14),
        "sXXX\"XXXXXXX/sr",
        std::string("\x01\x00", 2),
    };
    for (const std::string& filler : fillers) {
        for (std::size_t at = 0; at <= 140; ++at) {
            std::string text;
            while (text.size() < at) {
                text += filler;
            }
            text.resize(at);
            const std::string html = text + prefix + "C:/d/i.png\"" + filler + filler;
            SCOPED_TRACE(at);
            const auto found = scan::FindImageSource(html);
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found->begin, at);
            EXPECT_EQ(found->path, "C:/d/i.png");
            EXPECT_FALSE(scan::FindImageSource(html, at + 1).has_value());
            // Cut one short of the prefix's end, nothing is found.
            EXPECT_FALSE(scan::FindImageSource(html.substr(0, at + prefix.size() - 1)).has_value());
        }
    }

    const char16_t units[] = {u'a', u'\u0100', u'\u0001', u'\u8000', u'\uffff', u'\u0101'};
    for (const char16_t unit : units) {
        for (std::size_t length = 0; length <= 100; ++length) {
            const std::u16string none(length, unit);
            EXPECT_EQ(scan::FindNul(none), std::u16string_view::npos) << length;
            for (std::size_t at = 0; at < length; ++at) {
                std::u16string text = none;
                text[at] = u'\0';
                if (at + 2 < length) {
                    text[at + 2] = u'\0';  // a later NUL does not count
                }
                EXPECT_EQ(scan::FindNul(text), at) << length << " " << at;
            }
        }
    }
}
