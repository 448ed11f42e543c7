#include "tests/support/TestLog.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "shared/log/Logger.h"
#include "tests/support/LinkCheck.h"

namespace quortest {

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    std::random_device rd;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("quortest-" + std::to_string(rd()) + "-" + std::to_string(stamp % 1000000) + "-" +
             std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::filesystem::path& path)
{
    std::error_code ec;
    const bool realFolder = !IsLinkEntry(path) && std::filesystem::is_directory(std::filesystem::symlink_status(path, ec));
    if (realFolder) {
        std::vector<std::filesystem::path> children;
        for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            children.push_back(it->path());
        }
        for (const std::filesystem::path& child : children) {
            RemoveTree(child);
        }
    }
    // A link goes itself; one the platform cannot remove stays behind rather than be followed.
    std::filesystem::remove(path, ec);
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::filesystem::path& ProcessLogPath()
{
    static const std::filesystem::path path = [] {
        static TempDir dir;
        const auto p = dir.Path() / "process.log";
        (void)quor::Logger::Instance().Init(p.string());
        return p;
    }();
    return path;
}

LogTail::LogTail()
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(ProcessLogPath(), ec);
    mark_ = ec ? 0 : size;
}

std::string LogTail::Since() const
{
    const std::string all = ReadFile(ProcessLogPath());
    return all.size() > mark_ ? all.substr(static_cast<std::size_t>(mark_)) : std::string();
}

}  // namespace quortest
