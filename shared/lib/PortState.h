#pragma once

#include <cstdint>

namespace quor {

// Connection state of one end of the file-share port.
enum PortState : std::int32_t {
    StateBroken = 0,
    StateUnknown = 1,
    StateReady = 2,
    StateConnected = 3,
    StateClosing = 4,
};

}  // namespace quor
