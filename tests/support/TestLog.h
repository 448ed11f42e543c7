// Test support: routes the process-wide logger to a temporary file and lets a test
// look at the lines written since a mark.
#pragma once

#include <filesystem>
#include <string>

namespace quortest {

// A fresh folder under the system temp folder, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);

// The process-wide logger, initialised once per test program into a temp file.
class LogTail {
public:
    LogTail();  // marks the current end of the log
    std::string Since() const;
    bool Contains(const std::string& text) const { return Since().find(text) != std::string::npos; }

private:
    std::uintmax_t mark_;
};

const std::filesystem::path& ProcessLogPath();

}  // namespace quortest
