#include "tests/support/LinkCheck.h"

namespace quortest {

bool IsLinkEntry(const std::filesystem::path& path)
{
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

}  // namespace quortest
