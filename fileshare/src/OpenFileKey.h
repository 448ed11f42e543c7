#pragma once

#include <cstdint>
#include <string>

namespace quor::fs {

// A file the host has open: its local path and the host's handle for it. Paths compare
// code unit by code unit (a prefix is smaller), equal paths by the handle.
struct OpenFileKey {
    std::u16string path;
    std::uint64_t hostFileHandle = 0;

    bool operator<(const OpenFileKey& other) const
    {
        if (path != other.path) {
            return path < other.path;
        }
        return hostFileHandle < other.hostFileHandle;
    }
};

}  // namespace quor::fs
