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

}  // namespace fstest
