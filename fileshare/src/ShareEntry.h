#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace quor::fs {

using ShareFiles = std::unordered_map<std::string, std::string>;

// One share of the file-share server: the names the host sees under /<share>/ and the
// local paths they stand for.
struct ShareEntry {
    ShareFiles files;             // visible name (one path component) -> local path, UTF-8
    std::int64_t accessTime = 0;  // seconds since 1970 of the latest request through the share
    bool isVirtual = false;       // a directory whose children are the names in `files`
    bool hidden = false;          // left out of the root listing
    bool readOnly = false;        // mutating requests are refused with -13

    ShareEntry()
    {
        files.max_load_factor(1.0f);
        files.rehash(8);
    }
};

using ShareTable = std::unordered_map<std::string, ShareEntry>;

}  // namespace quor::fs
