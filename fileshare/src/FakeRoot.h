// The virtual top of the host's view: "/" lists the shares, "/<share>" of a virtual
// share lists its names, and "/<share>/<name>/rest" stands for the local path stored for
// <name> followed by rest. Nothing above or beside an exported entry can be named.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fileshare/src/ShareEntry.h"

namespace quor::fs {

class FakeRoot {
public:
    // (name, skip): skipped entries produce no record.
    using Listing = std::vector<std::pair<const std::string*, bool>>;

    // Resolves a request path (the caller holds the server's lock).
    static bool Resolve(const ShareTable& shares, std::string_view path, std::string& shareName,
                        std::string& localPath, std::uint8_t& isRoot, std::uint8_t& isFake);
    // The same, and how many components of the local path lie below the exported entry
    // (0 for the entry itself): the backend follows no link among them.
    static bool Resolve(const ShareTable& shares, std::string_view path, std::string& shareName,
                        std::string& localPath, std::uint8_t& isRoot, std::uint8_t& isFake,
                        std::uint32_t& componentsBelow);
    // Writes the DirRecords of `listing` behind the reply header of the 2 MiB `reply`
    // buffer and advances its `length`; 0, or -1 when the listing does not fit.
    static std::int32_t ReadDir(const Listing& listing, unsigned char* reply);
    // True for a path component that names an entry inside a folder: not empty, not made
    // of dots and spaces only (".", "..", ". ." all lead out on Windows), no separator,
    // no drive or stream colon, no wildcard or control character, no device name (CON, NUL, COM1, COM¹, LPT³, ...).
    static bool IsPlainName(std::string_view component);
};

}  // namespace quor::fs
