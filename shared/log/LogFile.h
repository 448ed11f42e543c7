#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "shared/lib/platform/EventLog.h"

namespace quor {

// The logger's open file, plus the event-log reporter used when the file itself fails.
class LogFile {
public:
    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool Open(const std::string& path, bool truncate);
    bool ReopenTruncated();
    bool Flush();
    bool Size(std::uint64_t& size);
    bool Close();
    // Writes `length` bytes in one call; returns the count written.
    std::size_t Write(const char* data, std::size_t length);
    bool IsOpen() const { return stream_ != nullptr; }
    const std::string& FileName() const { return fileName_; }

    // Reports to the event log; throws LogException when that is impossible.
    void ReportToEventLog(const std::string& message);

    // Creates the directory holding `path`, several levels deep; a drive prefix such as
    // "C:" is taken as "C:\".
    static bool CreateParentDirectory(const std::string& path);

    void SetOpenRetry(int tries, int intervalMs) { openTries_ = tries; openInterval_ = intervalMs; }

private:
    int openTries_ = 5;
    int openInterval_ = 10;
    std::FILE* stream_ = nullptr;
    std::string fileName_;
    std::mutex reportLock_;
    platform::EventSource eventSource_ = nullptr;
    std::string sourceName_ = "QUOR Error Reporting";
    std::uint32_t eventId_ = 0;
};

}  // namespace quor
