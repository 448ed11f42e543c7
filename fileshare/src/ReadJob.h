#pragma once

#include <cstdint>
#include <memory>

#include "fileshare/src/OpenFile.h"

namespace quor::fs {

// One queued READ.
struct ReadJob {
    static constexpr std::uint32_t kMaxSize = 0x1FFFB0;  // 2 MiB less the 80 header bytes

    std::uint64_t unique = 0;
    std::uint64_t offset = 0;
    std::uint32_t opcode = 0;  // the reply's opcode (READ)
    std::uint32_t size = 0;
    std::int32_t descriptor = -1;  // the host's descriptor, for the record; the read goes through `file`
    std::int32_t error = 0;        // non-zero: the READ failed before the backend; answer with it
    std::shared_ptr<OpenFile> file;
};

}  // namespace quor::fs
