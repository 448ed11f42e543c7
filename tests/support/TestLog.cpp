#include "tests/support/TestLog.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "shared/log/Logger.h"

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

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
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
