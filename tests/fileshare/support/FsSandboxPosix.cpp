#include "tests/fileshare/support/FsSandbox.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace fstest {

// The sandbox's folder is a fresh simulated machine; the backend sees it as C:\fsroot.
void PlaceRoot(const quortest::TempDir& dir, std::string& localRoot, std::filesystem::path& hostRoot)
{
    quor::platform::sim::SimConfig config;
    config.dir = dir.Str();
    quor::platform::sim::SimMachine::Get().Reset(config);
    localRoot = "C:\\fsroot";
    hostRoot = dir.Path() / "drives" / "C" / "fsroot";
}

// Symbolic links of the host's file system: the simulated machine's paths are host paths.
bool FsSandbox::MakeLink(const std::string& rel, const std::filesystem::path& target, LinkKind kind,
                         bool relative) const
{
    if (kind == LinkKind::Junction) {
        return false;
    }
    const std::filesystem::path link = Host(rel);
    std::filesystem::create_directories(link.parent_path());
    const std::filesystem::path text = relative ? std::filesystem::relative(target, link.parent_path()) : target;
    std::error_code ec;
    std::filesystem::create_symlink(text, link, ec);
    return !ec;
}

bool FsSandbox::RemoveLink(const std::string& rel, LinkKind kind) const
{
    (void)kind;
    std::error_code ec;
    return std::filesystem::remove(Host(rel), ec) && !ec;
}

std::filesystem::path FsSandbox::MachineRoot() { return "/"; }

}  // namespace fstest
