// Linear scanners for the few text patterns the clipboard side looks for in HTML and in
// paths. Each gives exactly what std::regex (ECMAScript grammar, default flags) gives for
// the pattern quoted with it, including the corners of that grammar: `.` matches every
// character except the line terminators CR and LF (and, for UTF-16, U+2028 and U+2029), a
// lazy group may run over a quote, and greedy groups take the last possible separator.
// std::regex itself is not used on this data: its matchers recurse once per character and
// overflow the stack on long input, and HTML comes from the host and from any application.
//
// All scanners are pure functions on views; they never read outside the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quor::scan {

// A match of src="file:///(.*?)["'] : [begin, end) is the whole match, `path` group 1.
struct ImageSourceMatch {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string_view path;
};
// The leftmost match of src="file:///(.*?)["'] in text[from..].
std::optional<ImageSourceMatch> FindImageSource(std::string_view text, std::size_t from = 0);

// Group 1 of a search for .+[\\/](.+)$ : the text after the last '\' or '/' that has at
// least one character before it on its line and is not the line's last character.
std::optional<std::string_view> FileNameOf(std::string_view path);

// What std::regex_replace(html, (src="file:///)(.*?)(\\|/)([^\\"/]*["]), replacement) gives
// with the replacement "$1" + "\\Velt\" + shareName + "\" + "$4". The share name is taken
// literally ("$" in it is not a group reference).
std::string RewriteImagePaths(std::string_view html, std::string_view shareName);
// The same for the text of `html` up to its first NUL (all of it when it has none),
// appended to `out`: the search finds the end on its way.
void AppendImagePathsRewritten(std::string_view html, std::string_view shareName, std::vector<unsigned char>& out);

// Group 1 of the first match of StartHTML:(\d+).
std::optional<std::string_view> FindStartHtml(std::string_view text);
// The decimal digits as an unsigned 32-bit number; nullopt when the value does not fit.
std::optional<std::uint32_t> ParseDecimal32(std::string_view digits);

// The first match of \\\\[^\\]+\\[^\\]+ (two backslashes, a server, a backslash, a share):
// [begin, begin + length).
struct Span {
    std::size_t begin = 0;
    std::size_t length = 0;
};
std::optional<Span> FindUncRoot(std::u16string_view path);

// The position of the first NUL unit of `text`, or std::u16string_view::npos: the end of a
// UTF-16 text in a block that may be tens of megabytes (what text.find(u'\0') gives,
// thirty-two units at a time).
std::size_t FindNul(std::u16string_view text);

}  // namespace quor::scan
