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

// Sixteen bytes compared at once: the compilers' vector extension (SSE2 on x86-64, NEON on
// Arm64), which both of the compilers this builds with provide.
using Bytes16 = char __attribute__((vector_size(16)));
using Units8 = std::uint16_t __attribute__((vector_size(16)));

Bytes16 Load16(const char* p)
{
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Units8 Load8Units(const char* p)
{
    Units8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether any lane of a comparison's result is set.
template <class Vector>
bool AnySet(Vector v)
{
    static_assert(sizeof(Vector) == 16);
    std::uint64_t half[2];
    std::memcpy(half, &v, sizeof half);
    return (half[0] | half[1]) != 0;
}

// Marks the 16 positions at `p` that hold three of the prefix's characters in place (its
// first, the quote and its last, a '/'), or, when `kStopAtNul`, a NUL where the last
// character would be. Three characters, because ordinary text often has an 's' twelve
// characters before a '/'. Reads p[0 .. 15 + m - 1].
template <bool kStopAtNul>
Bytes16 Candidates16(const char* p)
{
    constexpr std::size_t m = kImageSource.size();
    constexpr std::size_t q = kImageSource.find('"');
    const Bytes16 last = Load16(p + m - 1);
    const Bytes16 marks = (Load16(p) == kImageSource.front()) & (Load16(p + q) == '"') & (last == kImageSource.back());
    if constexpr (kStopAtNul) {
        return marks | (last == 0);
    }
    return marks;
}

// Whether any of the 64 positions at `p` is marked; four independent blocks, so that the
// compares overlap.
template <bool kStopAtNul>
bool AnyCandidate64(const char* p)
{
    return AnySet((Candidates16<kStopAtNul>(p) | Candidates16<kStopAtNul>(p + 16)) |
                  (Candidates16<kStopAtNul>(p + 32) | Candidates16<kStopAtNul>(p + 48)));
}

// The next occurrence of the image prefix at or after `from` in text[0, n), or kNpos.
// Sixty-four positions at a time are tested for three of the prefix's characters in place;
// only the positions of a block that passes are looked at one by one. (A first-character
// search alone stops at every 's' of the text.)
// With `kStopAtNul` the text ends at its first NUL: every byte from `from` up to the
// occurrence's end is known not to be one, and when a NUL comes first, `n` becomes its
// position and kNpos is returned.
template <bool kStopAtNul>
std::size_t FindImagePrefix(const char* p, std::size_t& n, std::size_t from)
{
    constexpr std::size_t m = kImageSource.size();
    if (from >= n) {
        return kNpos;
    }
    if constexpr (kStopAtNul) {
        // The bytes no position's last character covers.
        for (std::size_t b = from; b < from + m - 1 && b < n; ++b) {
            if (p[b] == '\0') {
                n = b;
                return kNpos;
            }
        }
    }
    std::size_t i = from;
    while (n - i >= m) {
        const bool wholeBlock = n - i >= m + 63;
        if (wholeBlock && !AnyCandidate64<kStopAtNul>(p + i)) {
            i += 64;
            continue;
        }
        // A block with a mark, or the last positions: one position at a time, in order.
        const std::size_t stop = wholeBlock ? i + 64 : n - m + 1;
        for (; i < stop; ++i) {
            const char last = p[i + m - 1];
            if (kStopAtNul && last == '\0') {
                n = i + m - 1;
                return kNpos;
            }
            if (p[i] == kImageSource.front() && last == kImageSource.back() &&
                std::memcmp(p + i, kImageSource.data(), m) == 0) {
                return i;
            }
        }
    }
    return kNpos;
}

}  // namespace

// The prefix holds no border (no proper prefix of it is also a suffix), so two occurrences
// never overlap. When the lazy group of the occurrence at p meets a line terminator t before
// any quote, every other occurrence before t lies inside p's group and would meet the same t,
// so the search goes on after t.
std::optional<ImageSourceMatch> FindImageSource(std::string_view text, std::size_t from)
{
    std::size_t n = text.size();
    std::size_t pos = from;
    while (pos < n) {
        const std::size_t p = FindImagePrefix<false>(text.data(), n, pos);
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

// Appends the rewritten HTML to `out` (a std::string or a byte vector); with `kStopAtNul`,
// only the HTML before its first NUL. A NUL is looked for only in the passes the rewrite
// makes anyway: the prefix search and the walks over the paths.
template <bool kStopAtNul, class Out>
void AppendRewritten(std::string_view html, std::string_view shareName, Out& out)
{
    // Inserted as the output's own character type, so that each piece is one block copy and
    // not a character-by-character conversion from char.
    const auto append = [&out](std::string_view piece) {
        const auto* first = reinterpret_cast<const typename Out::value_type*>(piece.data());
        out.insert(out.end(), first, first + piece.size());
    };
    std::size_t n = html.size();
    // Whether the text ends at `at`, which the walks reach in order: when a NUL is found
    // there, it becomes the end.
    const auto endsAt = [&html, &n](std::size_t at) {
        if (at >= n) {
            return true;
        }
        if (kStopAtNul && html[at] == '\0') {
            n = at;
            return true;
        }
        return false;
    };
    // Room for paths that grow, so that the copy is made once: what is reserved and never
    // written costs no memory.
    out.reserve(out.size() + n + n / 4 + 4096);
    std::size_t copied = 0;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t p = FindImagePrefix<kStopAtNul>(html.data(), n, pos);
        if (p == kNpos) {
            break;
        }
        std::size_t j = p + kImageSource.size();
        std::size_t failedAt = kNpos;  // a line terminator ends the occurrence's chances
        std::size_t quote = kNpos;
        while (!endsAt(j)) {
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
            while (!endsAt(k) && html[k] != '\\' && html[k] != '"' && html[k] != '/') {
                ++k;
            }
            if (k >= n) {
                break;  // no later separator either
            }
            if (html[k] == '"') {
                quote = k;
                break;
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
        if (failedAt == kNpos) {
            break;
        }
        pos = failedAt + 1;
    }
    append(html.substr(copied, n - copied));
}

}  // namespace

std::string RewriteImagePaths(std::string_view html, std::string_view shareName)
{
    std::string out;
    AppendRewritten<false>(html, shareName, out);
    return out;
}

void AppendImagePathsRewritten(std::string_view html, std::string_view shareName, std::vector<unsigned char>& out)
{
    AppendRewritten<true>(html, shareName, out);
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

// Thirty-two units at a time are compared with zero; the block that holds a NUL is then
// looked at one unit at a time.
std::size_t FindNul(std::u16string_view text)
{
    const char16_t* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    for (; n - i >= 32; i += 32) {
        const char* b = reinterpret_cast<const char*>(p + i);
        if (AnySet((Load8Units(b) == 0) | (Load8Units(b + 16) == 0) | (Load8Units(b + 32) == 0) |
                   (Load8Units(b + 48) == 0))) {
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
