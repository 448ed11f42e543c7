#pragma once

#include <cstdint>

#include "shared/lib/platform/VirtioFs.h"

namespace quor {

// The FUSE reply header the virtio-fs device answers with (16 bytes).
struct VioFsOutHeader {
    std::uint32_t length;
    std::int32_t error;
    std::uint64_t unique;
};
static_assert(sizeof(VioFsOutHeader) == 16);

// The guest's virtio-fs device: found by its interface class, one synchronous
// request/reply round trip per call.
class VioFsAPI {
public:
    static constexpr std::uint32_t kMaxInterfaces = 4;

    VioFsAPI() = default;
    ~VioFsAPI();
    VioFsAPI(const VioFsAPI&) = delete;
    VioFsAPI& operator=(const VioFsAPI&) = delete;

    bool Init();
    // Closes the device (it went away); Init may open it again.
    void Close();
    // Sends a complete virtio-fs request (its first u32 is its length) and reads back
    // the reply header.
    bool SubmitVioFsRequest(const void* in, std::uint32_t inLength, VioFsOutHeader& out);
    bool IsInitialised() const { return initialised_ != 0; }

private:
    bool Discover();

    std::int32_t initialised_ = 0;
    platform::FsDeviceHandle device_ = platform::kInvalidFsDevice;
};

}  // namespace quor
