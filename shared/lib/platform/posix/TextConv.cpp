#include "shared/lib/platform/TextConv.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

static_assert(std::endian::native == std::endian::little, "the ASCII runs are packed as little-endian words");
constexpr std::uint64_t kHighBits16 = 0xFF80FF80FF80FF80ULL;

// The low byte of each of the four units in `four` (little-endian, as the units are in
// memory), as four bytes in the same order.
std::uint32_t LowBytes(std::uint64_t four)
{
    std::uint64_t x = four & 0x00FF00FF00FF00FFULL;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
    return static_cast<std::uint32_t>(x | (x >> 16));
}

// How many units at the start of `in` (at most n) are ASCII; when `out` is given, they are
// also written there as bytes, at most `room` of them. Eight units at a time while it can,
// so that measuring and converting are each one pass.
int AsciiRun(const char16_t* in, int n, char* out, long long room)
{
    const int limit = out == nullptr || room >= n ? n : static_cast<int>(room);
    int i = 0;
    for (; i + 8 <= limit; i += 8) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, in + i, sizeof a);
        std::memcpy(&b, in + i + 4, sizeof b);
        if (((a | b) & kHighBits16) != 0) {
            break;
        }
        if (out != nullptr) {
            const std::uint64_t eight = LowBytes(a) | (static_cast<std::uint64_t>(LowBytes(b)) << 32);
            std::memcpy(out + i, &eight, sizeof eight);
        }
    }
    for (; i < limit && in[i] < 0x80; ++i) {
        if (out != nullptr) {
            out[i] = static_cast<char>(in[i]);
        }
    }
    return i;
}

}  // namespace

// Behaves as WideCharToMultiByte(65001, 0, ...): unpaired surrogates become U+FFFD,
// a too-small output buffer fails with 122, bad arguments fail with 87.
int WideToUtf8Bytes(const char16_t* in, int inLen, char* out, int outLen)
{
    if (in == nullptr || inLen == 0 || inLen < -1 || outLen < 0 || (out == nullptr && outLen != 0)) {
        sim::SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (inLen == -1) {
        inLen = 0;
        while (in[inLen] != 0) {
            ++inLen;
        }
        ++inLen;
    }
    long long total = 0;
    char buf[4];
    for (int i = 0; i < inLen; ++i) {
        if (in[i] < 0x80) {
            // A run of ASCII, one byte per unit (most text is mostly this), measured or
            // written in one pass.
            const int run = AsciiRun(in + i, inLen - i, outLen == 0 ? nullptr : out + total, outLen - total);
            if (run == 0) {
                sim::SetLastError(kErrorInsufficientBuffer);  // an ASCII unit and no room left
                return 0;
            }
            total += run;
            if (total > 0x7FFFFFFF) {
                sim::SetLastError(kErrorInvalidParameter);
                return 0;
            }
            i += run - 1;
            continue;
        }
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < inLen && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        int n = 0;
        if (cp < 0x80) {
            buf[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            buf[n++] = static_cast<char>(0xC0 | (cp >> 6));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            buf[n++] = static_cast<char>(0xE0 | (cp >> 12));
            buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            buf[n++] = static_cast<char>(0xF0 | (cp >> 18));
            buf[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        if (outLen != 0) {
            if (total + n > outLen) {
                sim::SetLastError(kErrorInsufficientBuffer);
                return 0;
            }
            for (int k = 0; k < n; ++k) {
                out[total + k] = buf[k];
            }
        }
        total += n;
        if (total > 0x7FFFFFFF) {
            sim::SetLastError(kErrorInvalidParameter);
            return 0;
        }
    }
    return static_cast<int>(total);
}


}  // namespace quor::platform

// ---- UTF-8 to UTF-16 --------------------------------------------------------------------

namespace quor::platform {

namespace {

// One UTF-8 sequence of [p, end); U+FFFD for a malformed or cut-off one (one byte consumed).
char32_t Decode(const unsigned char*& p, const unsigned char* end)
{
    const unsigned char c = *p++;
    if (c < 0x80) {
        return c;
    }
    int more = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
        more = 1;
        cp = c & 0x1F;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        more = 2;
        cp = c & 0x0F;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        more = 3;
        cp = c & 0x07;
        min = 0x10000;
    } else {
        return 0xFFFD;
    }
    if (end - p < more) {
        return 0xFFFD;
    }
    for (int i = 0; i < more; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0xFFFD;
    }
    p += more;
    return cp;
}

// Converts the bytes of [p, end): the units written (or needed when outUnits is 0), or 0
// with 122 when they do not fit.
int Convert(const unsigned char* p, const unsigned char* end, char16_t* out, int outUnits)
{
    int n = 0;
    while (p < end) {
        if (*p < 0x80) {
            // A run of ASCII, one unit per byte.
            const unsigned char* q = p;
            while (end - q >= 8) {
                std::uint64_t eight;
                std::memcpy(&eight, q, sizeof eight);
                if ((eight & 0x8080808080808080ULL) != 0) {
                    break;
                }
                q += 8;
            }
            while (q < end && *q < 0x80) {
                ++q;
            }
            const int run = static_cast<int>(q - p);
            if (outUnits != 0) {
                if (run > outUnits - n) {
                    sim::SetLastError(kErrorInsufficientBuffer);
                    return 0;
                }
                for (int k = 0; k < run; ++k) {
                    out[n + k] = p[k];
                }
            }
            n += run;
            p = q;
            continue;
        }
        const char32_t cp = Decode(p, end);
        const int units = cp >= 0x10000 ? 2 : 1;
        if (outUnits != 0) {
            if (n + units > outUnits) {
                sim::SetLastError(kErrorInsufficientBuffer);
                return 0;
            }
            if (units == 2) {
                out[n] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                out[n + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                out[n] = static_cast<char16_t>(cp);
            }
        }
        n += units;
    }
    return n;
}

}  // namespace

int Utf8ToWideUnits(const char* in, char16_t* out, int outUnits)
{
    if (in == nullptr || outUnits < 0 || (out == nullptr && outUnits != 0)) {
        sim::SetLastError(kErrorInvalidParameter);
        return 0;
    }
    // The terminating NUL is converted too.
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    return Convert(p, p + std::strlen(in) + 1, out, outUnits);
}

int Utf8ToWideUnitsN(const char* in, int inLen, char16_t* out, int outUnits)
{
    if (in == nullptr || inLen <= 0 || outUnits < 0 || (out == nullptr && outUnits != 0)) {
        sim::SetLastError(kErrorInvalidParameter);
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    return Convert(p, p + inLen, out, outUnits);
}

}  // namespace quor::platform
