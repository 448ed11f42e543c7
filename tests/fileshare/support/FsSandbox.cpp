#include "tests/fileshare/support/FsSandbox.h"

#include <fstream>
#include <iterator>

namespace fstest {

// The platform part: where the sandbox's root lies (FsSandboxPosix.cpp / FsSandboxWin32.cpp).
void PlaceRoot(const quortest::TempDir& dir, std::string& localRoot, std::filesystem::path& hostRoot);

FsSandbox::FsSandbox()
{
    PlaceRoot(dir_, localRoot_, hostRoot_);
    std::filesystem::create_directories(hostRoot_);
}

std::string FsSandbox::Local(const std::string& rel) const
{
    std::string s = localRoot_;
    if (!rel.empty()) {
        s += '\\';
        for (const char c : rel) {
            s += c == '/' ? '\\' : c;
        }
    }
    return s;
}

std::filesystem::path FsSandbox::Host(const std::string& rel) const
{
    return rel.empty() ? hostRoot_ : hostRoot_ / std::filesystem::path(rel).make_preferred();
}

void FsSandbox::WriteFile(const std::string& rel, const std::vector<unsigned char>& bytes) const
{
    std::filesystem::create_directories(Host(rel).parent_path());
    std::ofstream out(Host(rel), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void FsSandbox::WriteFile(const std::string& rel, const std::string& text) const
{
    WriteFile(rel, std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> FsSandbox::ReadFile(const std::string& rel) const
{
    std::ifstream in(Host(rel), std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void FsSandbox::SetReadOnly(const std::string& rel, bool readOnly) const
{
    using std::filesystem::perms;
    std::filesystem::permissions(Host(rel), readOnly ? perms::owner_read | perms::group_read | perms::others_read
                                                     : perms::owner_read | perms::owner_write | perms::group_read |
                                                           perms::others_read);
}

std::vector<unsigned char> Pattern(std::size_t size, std::uint32_t seed)
{
    std::vector<unsigned char> v(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return v;
}

}  // namespace fstest
