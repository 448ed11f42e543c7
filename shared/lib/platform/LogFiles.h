// Platform seam: the runtime-library file calls the logger uses. Paths are Windows
// paths (narrow); the simulation maps them into its own folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quor::platform {

// Opens a stream with no sharing restriction (_fsopen with _SH_DENYNO on Windows).
std::FILE* OpenSharedStream(const std::string& path, const char* mode);
bool PathExists(const std::string& path);
bool MakeDirectory(const std::string& path);
int RemoveFile(const std::string& path);            // 0 on success
int RenameFile(const std::string& from, const std::string& to);  // 0 on success
// Length of the open stream's file, negative on failure.
std::int64_t StreamLength(std::FILE* stream);
int LastErrno();

}  // namespace quor::platform
