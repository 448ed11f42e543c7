// The CF_HDROP block: a DROPFILES header and, at its `pFiles` offset, a list of
// NUL-terminated paths that ends with an empty one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quor {

struct DropFiles {
    std::uint32_t pFiles;  // offset of the path list from the start of the block
    std::int32_t ptX;
    std::int32_t ptY;
    std::uint32_t fNC;
    std::uint32_t fWide;  // non-zero: UTF-16 paths; zero: ANSI paths
};
static_assert(sizeof(DropFiles) == 20);
static_assert(offsetof(DropFiles, pFiles) == 0);
static_assert(offsetof(DropFiles, ptX) == 4);
static_assert(offsetof(DropFiles, fNC) == 12);
static_assert(offsetof(DropFiles, fWide) == 16);

enum class DropFilesResult {
    Ok,
    BadLayout,    // the block is smaller than the header, or the list starts inside it or past its end
    NotWide,      // an ANSI list
    Unterminated  // a path runs to the end of the block without its NUL
};

// Reads the UTF-16 paths of a CF_HDROP block of `size` bytes (never outside it), up to the
// first empty path or the end of the list area.
DropFilesResult ParseDropFiles(const unsigned char* block, std::size_t size, std::vector<std::u16string>& paths);

}  // namespace quor
