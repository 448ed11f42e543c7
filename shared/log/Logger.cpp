#include "shared/log/Logger.h"

#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>

#include "shared/lib/Format.h"
#include "shared/log/LogException.h"
#include "shared/lib/platform/Clock.h"
#include "shared/lib/platform/CrtFiles.h"

namespace quor {

namespace {
constexpr const char* kLevelTags[5] = {"D", "I", "W", "E", "O"};
}

Logger& Logger::Instance()
{
    static Logger instance;
    return instance;
}

std::uint32_t Logger::Init(std::string path)
{
    if (IsInitialised()) {
        return 1247;  // ERROR_ALREADY_INITIALIZED
    }
    maxSize_ = kDefaultMaxSize;
    maxFiles_ = kDefaultMaxFiles;
    basePath_ = std::move(path);
    std::uint64_t size = 0;
    try {
        if (!file_.Open(basePath_, false) || !file_.Size(size)) {
            return 1627;  // ERROR_FUNCTION_FAILED
        }
    } catch (const LogException&) {
        // Not even the event log is reachable; the logger stays uninitialised.
        return 1627;
    }
    currentSize_ = size;
    initialised_.store(1, std::memory_order_release);
    return 0;
}

const char* Logger::BaseName(const char* sourceFile)
{
    const char* base = sourceFile;
    for (const char* p = sourceFile; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            base = p + 1;
        }
    }
    return base;
}

namespace {
// Writes `value` as exactly `width` decimal digits (zero-padded) at `out`.
char* PutDigits(char* out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}
}  // namespace

std::string Logger::FormatLine(int level, const char* sourceFile, int line, const std::string& message)
{
    std::string text;
    FormatLineInto(text, level, sourceFile, line, message);
    return text;
}

void Logger::FormatLineInto(std::string& text, int level, const char* sourceFile, int line, const std::string& message)
{
    // "[{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}.{:03d}]" then "{}[{}][{}:{}]{}\r\n", written
    // by hand: this runs for every line and is most of a line's cost besides the write.
    const platform::LocalTime t = platform::NowLocal();
    // The date and time up to the second change once a second: keep them per thread.
    thread_local platform::LocalTime last {-1, -1, -1, -1, -1, -1, -1};
    thread_local char stamp[32] = "[0000-00-00 00:00:00.000]";
    if (t.second != last.second || t.minute != last.minute || t.hour != last.hour || t.day != last.day ||
        t.month != last.month || t.year != last.year) {
        char* q = stamp + 1;
        q = PutDigits(q, t.year, 4) + 1;
        q = PutDigits(q, t.month, 2) + 1;
        q = PutDigits(q, t.day, 2) + 1;
        q = PutDigits(q, t.hour, 2) + 1;
        q = PutDigits(q, t.minute, 2) + 1;
        (void)PutDigits(q, t.second, 2);
        last = t;
    }
    (void)PutDigits(stamp + 21, t.millisecond, 3);
    constexpr std::size_t kStamp = 25;  // "[YYYY-MM-DD HH:MM:SS.mmm]"
    const char* base = BaseName(sourceFile);
    const std::size_t baseLen = std::strlen(base);
    char lineBuf[16];
    const auto conv = std::to_chars(lineBuf, lineBuf + sizeof lineBuf, line);
    const std::size_t lineLen = static_cast<std::size_t>(conv.ptr - lineBuf);
    // One size computation and plain copies: "[tag][base:line]message\r\n" after the stamp.
    text.resize(kStamp + 1 + 1 + 2 + baseLen + 1 + lineLen + 1 + message.size() + 2);
    char* out = text.data();
    std::memcpy(out, stamp, kStamp);
    out += kStamp;
    *out++ = '[';
    *out++ = kLevelTags[level][0];
    *out++ = ']';
    *out++ = '[';
    std::memcpy(out, base, baseLen);
    out += baseLen;
    *out++ = ':';
    std::memcpy(out, lineBuf, lineLen);
    out += lineLen;
    *out++ = ']';
    std::memcpy(out, message.data(), message.size());
    out += message.size();
    *out++ = '\r';
    *out = '\n';
}

std::string Logger::BackupName(const std::string& basePath, std::uint64_t n)
{
    if (n == 0) {
        return basePath;
    }
    std::string stem = basePath;
    std::string ext;
    const auto dot = basePath.rfind('.');
    const auto sep = basePath.find_last_of("\\/");
    const bool hasExt = dot != std::string::npos && dot != 0 && dot != basePath.size() - 1 &&
                        !(sep != std::string::npos && sep + 1 >= dot);
    if (hasExt) {
        stem = basePath.substr(0, dot);
        ext = basePath.substr(dot);
    }
    return quor::format("{}.{}{}", stem, n, ext);
}

void Logger::Report(const std::string& message)
{
    // The event log is the last resort; if it fails too there is nobody left to tell,
    // and a logging call must never take its caller down.
    try {
        file_.ReportToEventLog(message);
    } catch (const LogException&) {
    }
}

bool Logger::Rotate()
{
    file_.Close();
    for (std::uint64_t n = maxFiles_; n >= 1; --n) {
        const std::string source = BackupName(basePath_, n - 1);
        const std::string target = BackupName(basePath_, n);
        if (!platform::PathExists(source)) {
            continue;
        }
        (void)platform::RemoveFile(target);
        if (platform::RenameFile(source, target) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            (void)platform::RemoveFile(target);
            if (platform::RenameFile(source, target) != 0) {
                const int err = platform::Errno();
                (void)file_.ReopenTruncated();
                Report(quor::format("Failed to rotate file, rename {} to {}, with error: {}", source, target, err));
            }
        }
    }
    return file_.ReopenTruncated();
}

void Logger::Log(int level, const char* sourceFile, int line, const std::string& message)
{
    if (!IsInitialised()) {
        return;
    }
    if (level < 0 || level > 4) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!IsEnabled()) {
        return;
    }
    try {
        FormatLineInto(line_, level, sourceFile, line, message);
        const std::string& text = line_;
        std::uint64_t newSize = currentSize_ + text.size();
        if (newSize > maxSize_) {
            if (!file_.Flush()) {
                Silence();
                return;
            }
            std::uint64_t realSize = 0;
            if (!file_.Size(realSize)) {
                Silence();
                return;
            }
            if (realSize > 0) {
                if (!Rotate()) {
                    Silence();
                    return;
                }
                newSize = text.size();
            }
        }
        if (!file_.IsOpen()) {
            Silence();
            file_.ReportToEventLog("m_fd is nullptr");
            return;
        }
        if (file_.Write(text.data(), text.size()) < text.size()) {
            Silence();
            file_.ReportToEventLog(quor::format("Failed to write file: {}, with error: {}", file_.FileName(),
                                           platform::Errno()));
            return;
        }
        if (file_.Flush()) {
            currentSize_ = newSize;
        } else {
            Silence();
        }
    } catch (const LogException&) {
        // Raised by an event-log report; the logger is silenced already or is about to be.
        Silence();
    }
}

}  // namespace quor
