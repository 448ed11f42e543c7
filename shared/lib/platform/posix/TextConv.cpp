#include "platform/TextConv.h"

namespace quor::platform {

namespace {
thread_local std::uint32_t t_lastError = 0;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kInsufficientBuffer = 122;
}  // namespace

// Behaves as WideCharToMultiByte(65001, 0, ...): unpaired surrogates become U+FFFD,
// a too-small output buffer fails with 122, bad arguments fail with 87.
int WideToUtf8Bytes(const char16_t* in, int inLen, char* out, int outLen)
{
    if (in == nullptr || inLen == 0 || inLen < -1 || outLen < 0 || (out == nullptr && outLen != 0)) {
        t_lastError = kInvalidParameter;
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
                t_lastError = kInsufficientBuffer;
                return 0;
            }
            for (int k = 0; k < n; ++k) {
                out[total + k] = buf[k];
            }
        }
        total += n;
        if (total > 0x7FFFFFFF) {
            t_lastError = kInvalidParameter;
            return 0;
        }
    }
    return static_cast<int>(total);
}

std::uint32_t LastConversionError() { return t_lastError; }

}  // namespace quor::platform
