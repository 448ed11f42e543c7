// Kernel shim: the debugger (DbgPrint and its captured output).
#include "procwarden/shim/shim_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

namespace shim::internal {
namespace {

std::mutex g_logMutex;
std::vector<std::string> g_log;
std::atomic<int64_t> g_printDelayUs{0};

}  // namespace


void AppendUtf8(std::string& out, const WCHAR* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

namespace {


// The kernel's DbgPrint conversions: the C ones plus %wZ (counted UTF-16 string) and %ws / %ls
// / %S (terminated UTF-16 string). Unicode conversions are only allowed at PASSIVE_LEVEL.
std::string FormatDbg(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        std::string directive = "%";
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) directive += *p++;
        if (*p == '*') {
            directive += std::to_string(va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') directive += *p++;
        if (*p == '.') {
            directive += *p++;
            if (*p == '*') {
                directive += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') directive += *p++;
        }
        enum { kInt, kLong, kLongLong, kSize, kShort, kWide } length = kInt;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            length = kLongLong;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = kLongLong;
            p += 2;
        } else if (*p == 'l') {
            length = kLong;
            ++p;
        } else if (*p == 'h') {
            length = kShort;
            ++p;
        } else if (*p == 'z' || *p == 'I') {
            length = kSize;
            ++p;
        } else if (*p == 'w') {
            length = kWide;
            ++p;
        }
        const char conversion = *p;
        char buffer[128];
        const bool unicode = conversion == 'Z' || conversion == 'S' ||
                             ((length == kWide || length == kLong) && (conversion == 's' || conversion == 'c'));
        if (unicode && CurrentIrql() != PASSIVE_LEVEL) {
            Fault(std::string("DbgPrint with a Unicode conversion above PASSIVE_LEVEL: ") + format);
        }
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                const bool isSigned = conversion == 'd' || conversion == 'i';
                if (length == kLongLong || length == kSize || length == kLong) {
                    // ULONG is 32 bits in the kernel, so %ld takes an int-sized argument.
                    if (length == kLong) {
                        directive += conversion;
                        std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, int));
                    } else {
                        directive += "ll";
                        directive += conversion;
                        if (isSigned) {
                            std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, long long));
                        } else {
                            std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, unsigned long long));
                        }
                    }
                } else {
                    directive += conversion;
                    std::snprintf(buffer, sizeof(buffer), directive.c_str(), va_arg(args, int));
                }
                out += buffer;
                break;
            }
            case 'p':
                std::snprintf(buffer, sizeof(buffer), "%p", va_arg(args, void*));
                out += buffer;
                break;
            case 'c':
                if (length == kWide || length == kLong) {
                    const WCHAR c = static_cast<WCHAR>(va_arg(args, int));
                    AppendUtf8(out, &c, 1);
                } else {
                    out += static_cast<char>(va_arg(args, int));
                }
                break;
            case 's':
                if (length == kWide || length == kLong) {
                    const WCHAR* s = va_arg(args, const WCHAR*);
                    if (s == nullptr) {
                        out += "(null)";
                    } else {
                        size_t n = 0;
                        while (s[n] != 0) ++n;
                        AppendUtf8(out, s, n);
                    }
                } else {
                    const char* s = va_arg(args, const char*);
                    out += s != nullptr ? s : "(null)";
                }
                break;
            case 'S': {
                const WCHAR* s = va_arg(args, const WCHAR*);
                size_t n = 0;
                while (s != nullptr && s[n] != 0) ++n;
                if (s == nullptr) out += "(null)"; else AppendUtf8(out, s, n);
                break;
            }
            case 'Z': {
                const UNICODE_STRING* s = va_arg(args, const UNICODE_STRING*);
                if (s == nullptr || s->Buffer == nullptr) {
                    out += "(null)";
                } else {
                    AppendUtf8(out, s->Buffer, s->Length / sizeof(WCHAR));
                }
                break;
            }
            default:
                Fault(std::string("DbgPrint: unsupported conversion in ") + format);
                out.append(start, p + 1);
                break;
        }
        if (*p == '\0') break;
    }
    return out;
}

}  // namespace

void ResetDebugger() {
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.clear();
    }
    g_printDelayUs = 0;
}

}  // namespace shim::internal

using namespace shim::internal;

ULONG DbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = FormatDbg(format, args);
    va_end(args);
    const int64_t delay = g_printDelayUs.load();
    if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
    }
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(std::move(line));
    return STATUS_SUCCESS;
}

namespace shim {

std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

bool LogHas(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return std::find(g_log.begin(), g_log.end(), text) != g_log.end();
}

size_t LogCount(const std::string& part) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return static_cast<size_t>(std::count_if(g_log.begin(), g_log.end(),
                                             [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

void ClearLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

void SetDebugPrintDelay(std::chrono::microseconds delay) { g_printDelayUs = delay.count(); }

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

}  // namespace shim
