#pragma once

#include <mutex>

namespace quor::fs {

// The descriptor of one open file. A queued READ holds the record, not the number:
// the worker reads under `lock` only while `closed` is clear, and closing happens under
// `lock`, so a READ can never read through a descriptor that was closed, nor through its
// number after a later open reused it.
struct OpenFile {
    explicit OpenFile(int fd) : descriptor(fd) {}

    const int descriptor;
    std::mutex lock;
    bool closed = false;
};

}  // namespace quor::fs
