#include "platform/WideText.h"

namespace quor::platform {

namespace {
thread_local std::uint32_t t_error = 0;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kInsufficientBuffer = 122;

// Decodes one UTF-8 sequence at `p`; U+FFFD for a malformed one (one byte consumed).
char32_t Decode(const unsigned char*& p)
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
    const unsigned char* q = p;
    for (int i = 0; i < more; ++i) {
        if ((q[i] & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (q[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0xFFFD;
    }
    p = q + more;
    return cp;
}
}  // namespace

int Utf8ToWideUnits(const char* in, char16_t* out, int outUnits)
{
    if (in == nullptr || outUnits < 0 || (out == nullptr && outUnits != 0)) {
        t_error = kInvalidParameter;
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    int n = 0;
    for (;;) {
        const bool end = *p == 0;
        const char32_t cp = end ? 0 : Decode(p);
        const int units = cp >= 0x10000 ? 2 : 1;
        if (outUnits != 0) {
            if (n + units > outUnits) {
                t_error = kInsufficientBuffer;
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
        if (end) {
            return n;
        }
    }
}

std::uint32_t LastWideTextError() { return t_error; }

}  // namespace quor::platform
