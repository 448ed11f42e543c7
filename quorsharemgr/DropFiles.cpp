#include "quorsharemgr/DropFiles.h"

#include <cstring>

namespace quor {

DropFilesResult ParseDropFiles(const unsigned char* block, std::size_t size, std::vector<std::u16string>& paths)
{
    paths.clear();
    if (block == nullptr || size < sizeof(DropFiles)) {
        return DropFilesResult::BadLayout;
    }
    DropFiles header;
    std::memcpy(&header, block, sizeof header);
    if (header.pFiles < sizeof(DropFiles) || header.pFiles >= size) {
        return DropFilesResult::BadLayout;
    }
    if (header.fWide == 0) {
        return DropFilesResult::NotWide;
    }
    const std::size_t units = (size - header.pFiles) / 2;
    const unsigned char* area = block + header.pFiles;
    auto unit = [&](std::size_t i) {
        char16_t c;
        std::memcpy(&c, area + 2 * i, sizeof c);
        return c;
    };
    // The list must end inside the block: every path up to the empty one (or the end of
    // the area) carries its NUL. What lies after the empty path is not looked at, since a
    // block may be larger than the list an application wrote into it.
    std::size_t i = 0;
    if (units == 0) {
        return DropFilesResult::Unterminated;
    }
    while (i < units) {
        std::u16string path;
        while (i < units && unit(i) != u'\0') {
            path.push_back(unit(i));
            ++i;
        }
        if (i == units) {
            paths.clear();
            return DropFilesResult::Unterminated;
        }
        ++i;
        if (path.empty()) {
            break;
        }
        paths.push_back(std::move(path));
    }
    return DropFilesResult::Ok;
}

}  // namespace quor
