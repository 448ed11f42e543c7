// A clipboard memory block locked for reading for the life of the object: the view the
// capture classes send from without copying. Size() is GlobalSize, which may exceed the
// content an application wrote; every reader stays inside it.
#pragma once

#include <cstddef>

#include "quorsharemgr/platform/GlobalMemory.h"

namespace quor {

class LockedBlock {
public:
    LockedBlock() = default;
    explicit LockedBlock(platform::MemHandle block) : block_(block)
    {
        if (block_ != nullptr) {
            data_ = static_cast<const unsigned char*>(platform::GlobalLock(block_));
            size_ = data_ != nullptr ? platform::GlobalSize(block_) : 0;
        }
    }
    ~LockedBlock()
    {
        if (data_ != nullptr) {
            (void)platform::GlobalUnlock(block_);
        }
    }
    LockedBlock(const LockedBlock&) = delete;
    LockedBlock& operator=(const LockedBlock&) = delete;

    bool Locked() const { return data_ != nullptr; }
    const unsigned char* Data() const { return data_; }
    std::size_t Size() const { return size_; }

private:
    platform::MemHandle block_ = nullptr;
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace quor
