// Whether a path is a link of any kind (symbolic link, junction, other reparse point), by the
// platform's own account; test clean-up uses it to remove links without following them.
#pragma once

#include <filesystem>

namespace quortest {

bool IsLinkEntry(const std::filesystem::path& path);

// Removes `path` and, for a real folder, everything below it. Links are removed themselves,
// never followed: a sandbox may hold a link to the machine's root or to the user's home.
void RemoveTree(const std::filesystem::path& path);

}  // namespace quortest
