#include <cstdlib>

#include "support/FsSandbox.h"

namespace fstest {

void PlaceRoot(const quortest::TempDir& dir, std::string& localRoot, std::filesystem::path& hostRoot)
{
    ::setenv("QUOR_SIM_DIR", dir.Str().c_str(), 1);
    localRoot = "C:\\fsroot";
    hostRoot = dir.Path() / "drives" / "C" / "fsroot";
}

}  // namespace fstest
