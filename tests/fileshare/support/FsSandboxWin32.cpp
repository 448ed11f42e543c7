#include "tests/fileshare/support/FsSandbox.h"

namespace fstest {

void PlaceRoot(const quortest::TempDir& dir, std::string& localRoot, std::filesystem::path& hostRoot)
{
    localRoot = dir.Str();
    hostRoot = dir.Path();
}

}  // namespace fstest
