#include "shared/log/LogFile.h"

#include <chrono>
#include <thread>

#include "shared/lib/Format.h"
#include "shared/log/LogException.h"
#include "shared/lib/platform/CrtFiles.h"

namespace quor {

LogFile::~LogFile()
{
    Close();
    if (eventSource_ != nullptr) {
        platform::CloseEventSource(eventSource_);
        eventSource_ = nullptr;
    }
}

bool LogFile::Close()
{
    if (stream_ == nullptr) {
        return true;
    }
    const bool ok = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return ok;
}

bool LogFile::CreateParentDirectory(const std::string& path)
{
    const auto lastSep = path.find_last_of("\\/");
    const std::string dir = lastSep == std::string::npos ? std::string() : path.substr(0, lastSep);
    if (!dir.empty() && platform::PathExists(dir)) {
        return true;
    }
    if (dir.empty()) {
        return false;
    }
    std::size_t pos = 0;
    while (pos < dir.size()) {
        const auto sep = dir.find_first_of("\\/", pos);
        std::string prefix = sep == std::string::npos ? dir : dir.substr(0, sep);
        std::size_t next = sep == std::string::npos ? dir.size() : sep + 1;
        if (prefix.size() == 2 && prefix[1] == ':') {
            prefix += '\\';
        }
        if (!prefix.empty() && !platform::PathExists(prefix)) {
            if (!platform::MakeDirectory(prefix)) {
                return false;
            }
        }
        pos = next;
    }
    return true;
}

bool LogFile::Open(const std::string& path, bool truncate)
{
    Close();
    fileName_ = path;
    for (int attempt = 0; attempt < openTries_; ++attempt) {
        (void)CreateParentDirectory(path);
        if (truncate) {
            std::FILE* t = platform::OpenSharedStream(path, "wb");
            if (t == nullptr) {
                continue;
            }
            std::fclose(t);
        }
        stream_ = platform::OpenSharedStream(path, "ab");
        if (stream_ != nullptr) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(openInterval_));
    }
    ReportToEventLog(quor::format("Failed to open file: {}, with error {}", fileName_, platform::Errno()));
    return false;
}

bool LogFile::ReopenTruncated()
{
    if (fileName_.empty()) {
        ReportToEventLog("Failed to reopen file");
        return false;
    }
    const std::string name = fileName_;
    return Open(name, true);
}

bool LogFile::Flush()
{
    if (stream_ == nullptr) {
        ReportToEventLog("m_fd is nullptr");
        return false;
    }
    if (std::fflush(stream_) != 0) {
        ReportToEventLog(quor::format("Failed to flush file: {}, with error: {}", fileName_, platform::Errno()));
        return false;
    }
    return true;
}

bool LogFile::Size(std::uint64_t& size)
{
    if (stream_ == nullptr) {
        ReportToEventLog(quor::format("Cannot use Size() on closed file: {}", fileName_));
        return false;
    }
    const std::int64_t length = platform::StreamLength(stream_);
    size = length < 0 ? 0 : static_cast<std::uint64_t>(length);
    return true;
}

std::size_t LogFile::Write(const char* data, std::size_t length)
{
    if (stream_ == nullptr) {
        return 0;
    }
    return std::fwrite(data, 1, length, stream_);
}

void LogFile::ReportToEventLog(const std::string& message)
{
    std::lock_guard<std::mutex> guard(reportLock_);
    if (eventSource_ == nullptr) {
        platform::EventSource source = platform::OpenEventSource(sourceName_.c_str());
        // A handle value of 5 is what the call yields on some systems when access is denied.
        if (source == nullptr || source == reinterpret_cast<platform::EventSource>(5)) {
            throw LogException("RegisterEventSourceA failed. Last error: " +
                               std::to_string(platform::LastError()));
        }
        eventSource_ = source;
    }
    if (!platform::ReportErrorEvent(eventSource_, 3, eventId_, message.c_str())) {
        throw LogException("ReportEvent failed. Last error: " + std::to_string(platform::LastError()));
    }
}

}  // namespace quor
