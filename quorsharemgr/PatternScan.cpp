#include "quorsharemgr/PatternScan.h"

#include <bit>
#include <cstring>

namespace quor::scan {

namespace {

constexpr std::string_view kImageSource = "src=\"file:///";
constexpr std::string_view kStartHtml = "StartHTML:";
constexpr std::size_t kNpos = std::string_view::npos;

bool IsLineTerminator(char c) { return c == '\n' || c == '\r'; }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Marks the bytes of `word` equal to the byte repeated in `wanted`: a byte equal to the
// wanted one is a zero byte after the exclusive or, and the borrow trick marks every zero
// byte, with at worst a false mark above one.
std::uint64_t MarkBytes(std::uint64_t word, std::uint64_t wanted)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint64_t x = word ^ wanted;
    return (x - kOnes) & ~x & kHigh;
}

std::uint64_t Load8(const char* p)
{
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The next occurrence of the image prefix at or after `from`, or kNpos. Sixteen positions
// at a time are first tested for the prefix's last character at the prefix's distance
// (a '/', rarer in text than most letters), then eight at a time for its first character as
// well; only positions marked for both are compared whole. A first-character search stops
// at every 's' of the text instead.
std::size_t FindImagePrefix(std::string_view text, std::size_t from)
{
    static_assert(std::endian::native == std::endian::little, "the byte marks are read in little-endian order");
    constexpr std::size_t m = kImageSource.size();
    constexpr std::uint64_t kFirst = 0x0101010101010101ULL * static_cast<unsigned char>(kImageSource.front());
    constexpr std::uint64_t kLast = 0x0101010101010101ULL * static_cast<unsigned char>(kImageSource.back());
    const std::size_t n = text.size();
    if (from >= n) {
        return kNpos;
    }
    const char* p = text.data();
    std::size_t i = from;
    for (; n - i >= m + 15; i += 16) {
        if ((MarkBytes(Load8(p + i + m - 1), kLast) | MarkBytes(Load8(p + i + m + 7), kLast)) == 0) {
            continue;
        }
        for (std::size_t k = i; k < i + 16; k += 8) {
            std::uint64_t marks = MarkBytes(Load8(p + k), kFirst) & MarkBytes(Load8(p + k + m - 1), kLast);
            while (marks != 0) {
                const std::size_t at = k + static_cast<std::size_t>(std::countr_zero(marks)) / 8;
                if (std::memcmp(p + at, kImageSource.data(), m) == 0) {
                    return at;
                }
                marks &= marks - 1;
            }
        }
    }
    return text.find(kImageSource, i);
}

}  // namespace

// The prefix holds no border (no proper prefix of it is also a suffix), so two occurrences
// never overlap. When the lazy group of the occurrence at p meets a line terminator t before
// any quote, every other occurrence before t lies inside p's group and would meet the same t,
// so the search goes on after t.
std::optional<ImageSourceMatch> FindImageSource(std::string_view text, std::size_t from)
{
    std::size_t pos = from;
    while (pos < text.size()) {
        const std::size_t p = FindImagePrefix(text, pos);
        if (p == kNpos) {
            return std::nullopt;
        }
        const std::size_t start = p + kImageSource.size();
        std::size_t i = start;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '"' || c == '\'') {
                return ImageSourceMatch{p, i + 1, text.substr(start, i - start)};
            }
            if (IsLineTerminator(c)) {
                break;
            }
        }
        pos = i + 1;
    }
    return std::nullopt;
}

// The search may start anywhere but has to end at the end: only the last line can hold a
// match, and the greedy first `.+` makes group 1 follow the last separator that leaves one
// character on each side.
std::optional<std::string_view> FileNameOf(std::string_view path)
{
    const std::size_t n = path.size();
    std::size_t lineStart = 0;
    for (std::size_t i = n; i > 0; --i) {
        if (IsLineTerminator(path[i - 1])) {
            lineStart = i;
            break;
        }
    }
    if (n < lineStart + 3) {
        return std::nullopt;
    }
    for (std::size_t i = n - 2; i >= lineStart + 1; --i) {
        if (IsSeparator(path[i])) {
            return path.substr(i + 1);
        }
    }
    return std::nullopt;
}

// For an occurrence of the prefix, the lazy group 2 tries every separator j after it in
// turn (up to the first line terminator); group 4 then succeeds exactly when the first
// character after j out of '\', '"' and '/' is '"'. When it is a separator instead, that
// separator is the next candidate, so each character is looked at a bounded number of times.
namespace {

// Appends the rewritten HTML to `out` (a std::string or a byte vector).
template <class Out>
void AppendRewritten(std::string_view html, std::string_view shareName, Out& out)
{
    // Inserted as the output's own character type, so that each piece is one block copy and
    // not a character-by-character conversion from char.
    const auto append = [&out](std::string_view piece) {
        const auto* first = reinterpret_cast<const typename Out::value_type*>(piece.data());
        out.insert(out.end(), first, first + piece.size());
    };
    const std::size_t n = html.size();
    // Room for paths that grow, so that the copy is made once: what is reserved and never
    // written costs no memory.
    out.reserve(out.size() + n + n / 4 + 4096);
    std::size_t copied = 0;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t p = FindImagePrefix(html, pos);
        if (p == kNpos) {
            break;
        }
        std::size_t j = p + kImageSource.size();
        std::size_t failedAt = n;  // a line terminator ends the occurrence's chances
        std::size_t quote = kNpos;
        while (j < n) {
            const char c = html[j];
            if (IsLineTerminator(c)) {
                failedAt = j;
                break;
            }
            if (!IsSeparator(c)) {
                ++j;
                continue;
            }
            std::size_t k = j + 1;
            while (k < n && html[k] != '\\' && html[k] != '"' && html[k] != '/') {
                ++k;
            }
            if (k < n && html[k] == '"') {
                quote = k;
                break;
            }
            if (k >= n) {
                break;  // no later separator either
            }
            std::size_t t = j + 1;
            while (t < k && !IsLineTerminator(html[t])) {
                ++t;
            }
            if (t < k) {
                failedAt = t;
                break;
            }
            j = k;
        }
        if (quote != kNpos) {
            append(html.substr(copied, p - copied));
            append(kImageSource);
            append("\\\\Velt\\");
            append(shareName);
            out.push_back('\\');
            append(html.substr(j + 1, quote + 1 - (j + 1)));
            copied = quote + 1;
            pos = quote + 1;
            continue;
        }
        if (failedAt >= n) {
            break;
        }
        pos = failedAt + 1;
    }
    append(html.substr(copied));
}

}  // namespace

std::string RewriteImagePaths(std::string_view html, std::string_view shareName)
{
    std::string out;
    AppendRewritten(html, shareName, out);
    return out;
}

void AppendImagePathsRewritten(std::string_view html, std::string_view shareName, std::vector<unsigned char>& out)
{
    AppendRewritten(html, shareName, out);
}

std::optional<std::string_view> FindStartHtml(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t p = text.find(kStartHtml, pos);
        if (p == kNpos) {
            return std::nullopt;
        }
        const std::size_t start = p + kStartHtml.size();
        std::size_t k = start;
        while (k < text.size() && text[k] >= '0' && text[k] <= '9') {
            ++k;
        }
        if (k > start) {
            return text.substr(start, k - start);
        }
        pos = p + 1;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ParseDecimal32(std::string_view digits)
{
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFULL) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

// A candidate at p fails either at once (a third backslash) or after its server part, and
// no other candidate starts inside that part, so the scan is linear.
std::optional<Span> FindUncRoot(std::u16string_view path)
{
    const std::size_t n = path.size();
    for (std::size_t p = 0; p + 1 < n; ++p) {
        if (path[p] != u'\\' || path[p + 1] != u'\\') {
            continue;
        }
        std::size_t k = p + 2;
        while (k < n && path[k] != u'\\') {
            ++k;
        }
        if (k == p + 2 || k >= n) {
            continue;
        }
        std::size_t e = k + 1;
        while (e < n && path[e] != u'\\') {
            ++e;
        }
        if (e > k + 1) {
            return Span{p, e - p};
        }
    }
    return std::nullopt;
}

// A unit is zero exactly when the borrow trick marks it and no lower unit of the word is
// zero (a borrow can only mark a unit above a zero one), so the first marked word holds the
// first NUL, found then one unit at a time.
std::size_t FindNul(std::u16string_view text)
{
    constexpr std::uint64_t kOnes16 = 0x0001000100010001ULL;
    constexpr std::uint64_t kHigh16 = 0x8000800080008000ULL;
    const char16_t* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        const std::uint64_t a = Load8(reinterpret_cast<const char*>(p + i));
        const std::uint64_t b = Load8(reinterpret_cast<const char*>(p + i + 4));
        if ((((a - kOnes16) & ~a) | ((b - kOnes16) & ~b)) & kHigh16) {
            break;
        }
    }
    for (; i < n; ++i) {
        if (p[i] == u'\0') {
            return i;
        }
    }
    return std::u16string_view::npos;
}

}  // namespace quor::scan
