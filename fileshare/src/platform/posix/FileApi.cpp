// The Win32 file functions on the simulated machine. A search lists "." and ".." first
// (except at a drive's root) and the other names in byte order, as NTFS does; a file
// without the owner's write bit carries the read-only attribute, so deleting it is
// refused with ERROR_ACCESS_DENIED.
#include "fileshare/src/platform/FileApi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

struct DirSearch {
    std::vector<std::u16string> names;
    std::size_t at = 0;
};

namespace {

bool IsDriveRoot(const std::string& dir)
{
    return (dir.size() == 2 || (dir.size() == 3 && (dir[2] == '\\' || dir[2] == '/'))) && dir[1] == ':';
}

std::u16string Wide(const std::string& utf8)
{
    std::u16string w(utf8.size() + 1, u'\0');
    const int n = Utf8ToWideUnits(utf8.c_str(), w.data(), static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return w;
}
}  // namespace

DirSearch* FindFirstEntry(const char16_t* pattern)
{
    const std::string full = sim::Utf8Of(pattern);
    const auto cut = full.find_last_of("\\/");
    const std::string dir = cut == std::string::npos ? std::string() : full.substr(0, cut);
    const std::string match = cut == std::string::npos ? full : full.substr(cut + 1);
    const std::string host = dir.empty() ? std::string(".") : ToHostPath(dir);
    DIR* d = ::opendir(host.c_str());
    if (d == nullptr) {
        sim::SetLastError(errno == ENOTDIR ? kErrorDirectory : errno == ENOENT ? kErrorPathNotFound : sim::ToWinError(errno));
        return nullptr;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    const bool root = IsDriveRoot(dir);
    auto* search = new DirSearch{};
    std::vector<std::string> kept;
    for (const std::string& n : names) {
        if (root && (n == "." || n == "..")) {
            continue;
        }
        if (::fnmatch(match.c_str(), n.c_str(), 0) == 0) {
            kept.push_back(n);
        }
    }
    std::sort(kept.begin(), kept.end(), [](const std::string& a, const std::string& b) {
        const int ra = a == "." ? 0 : a == ".." ? 1 : 2;
        const int rb = b == "." ? 0 : b == ".." ? 1 : 2;
        return ra != rb ? ra < rb : a < b;
    });
    for (const std::string& n : kept) {
        search->names.push_back(Wide(n));
    }
    if (search->names.empty()) {
        delete search;
        sim::SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    return search;
}

const char16_t* EntryName(const DirSearch* search) { return search->names[search->at].c_str(); }

bool FindNextEntry(DirSearch* search)
{
    if (search->at + 1 >= search->names.size()) {
        sim::SetLastError(kErrorNoMoreFiles);
        return false;
    }
    ++search->at;
    return true;
}

void EndSearch(DirSearch* search) { delete search; }

bool MovePath(const char16_t* from, const char16_t* to)
{
    if (::renameat2(AT_FDCWD, sim::HostPathOf(from).c_str(), AT_FDCWD, sim::HostPathOf(to).c_str(),
                    RENAME_NOREPLACE) != 0) {
        sim::SetLastError(sim::ToWinError(errno));
        return false;
    }
    return true;
}

bool DeletePath(const char16_t* path)
{
    const std::string host = sim::HostPathOf(path);
    struct stat s {};
    if (::lstat(host.c_str(), &s) != 0) {
        sim::SetLastError(errno == ENOTDIR ? kErrorPathNotFound : sim::ToWinError(errno));
        return false;
    }
    if (S_ISDIR(s.st_mode) || (s.st_mode & S_IWUSR) == 0) {
        sim::SetLastError(kErrorAccessDenied);
        return false;
    }
    if (::unlink(host.c_str()) != 0) {
        sim::SetLastError(sim::ToWinError(errno));
        return false;
    }
    return true;
}

std::uint32_t PathAttributes(const char16_t* path)
{
    struct stat s {};
    if (::lstat(sim::HostPathOf(path).c_str(), &s) != 0) {
        sim::SetLastError(errno == ENOTDIR ? kErrorPathNotFound : sim::ToWinError(errno));
        return kInvalidAttributes;
    }
    if (S_ISLNK(s.st_mode)) {
        return kAttributeReparsePoint;
    }
    constexpr std::uint32_t kReadOnly = 0x1;
    constexpr std::uint32_t kDirectory = 0x10;
    constexpr std::uint32_t kArchive = 0x20;
    return S_ISDIR(s.st_mode) ? kDirectory : kArchive | ((s.st_mode & S_IWUSR) == 0 ? kReadOnly : 0);
}

bool ReopenForRead(int fd, int translation, int& readFd)
{
    (void)translation;  // text mode is not simulated
    // A new open file description of the same file: its own offset, no path lookup.
    readFd = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (readFd < 0) {
        sim::SetLastError(sim::ToWinError(errno));
        return false;
    }
    return true;
}

}  // namespace quor::platform
