#include "quorsharemgr/ShareSendProcess.h"

#include <algorithm>

namespace quor {

bool ShareSendProcess::NextChunk(const unsigned char* data, std::uint64_t length, std::uint64_t& cursor,
                                 const unsigned char*& start, std::uint32_t& chunk)
{
    if (cursor >= length) {
        cursor = 0;
        return false;
    }
    const std::uint64_t n = std::min<std::uint64_t>(kChunk, length - cursor);
    start = data + cursor;
    chunk = static_cast<std::uint32_t>(n);
    cursor += n;
    return true;
}

}  // namespace quor
