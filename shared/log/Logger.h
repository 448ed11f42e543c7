#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "shared/log/LogFile.h"

namespace quor {

enum LogLevel : int {
    kLogDebug = 0,
    kLogInfo = 1,
    kLogWarning = 2,
    kLogError = 3,
    kLogOther = 4,
};

// The process-wide logger: one CR LF line per call into a size-limited file that is
// rotated into numbered backups. Its own failures go to the event log and silence it.
class Logger {
public:
    static constexpr std::uint64_t kDefaultMaxSize = 0x500000;  // 5 MiB
    static constexpr std::uint64_t kDefaultMaxFiles = 1;

    static Logger& Instance();

    Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // 0 on success, 1247 when already initialised, 1627 when the file cannot be opened.
    std::uint32_t Init(std::string path);
    void Log(int level, const char* sourceFile, int line, const std::string& message);

    bool IsInitialised() const { return initialised_.load(std::memory_order_acquire) != 0; }
    bool IsEnabled() const { return enabled_.load(std::memory_order_acquire) != 0; }

    // Name of backup number n of `basePath` (n = 0 is the live file itself).
    static std::string BackupName(const std::string& basePath, std::uint64_t n);
    // The part of a source path after its last "\" or "/".
    static const char* BaseName(const char* sourceFile);
    // The whole line (time stamp, tag, file, line, message, CR LF) for the current time.
    static std::string FormatLine(int level, const char* sourceFile, int line, const std::string& message);
    static void FormatLineInto(std::string& text, int level, const char* sourceFile, int line,
                               const std::string& message);

    // For tests: a smaller rotation threshold or more backups.
    void SetLimits(std::uint64_t maxSize, std::uint64_t maxFiles) { maxSize_ = maxSize; maxFiles_ = maxFiles; }
    std::uint64_t CurrentSize() const { return currentSize_; }
    LogFile& File() { return file_; }

private:
    bool Rotate();
    void Silence() { enabled_.store(0, std::memory_order_release); }
    void Report(const std::string& message);

    std::string basePath_;
    std::uint64_t maxSize_ = 0;
    std::uint64_t maxFiles_ = 0;
    std::uint64_t currentSize_ = 0;
    std::mutex lock_;
    std::string line_;  // reused for every line, under the lock
    std::atomic<std::int32_t> initialised_{0};
    std::atomic<std::int32_t> enabled_{1};
    LogFile file_;
};

}  // namespace quor
