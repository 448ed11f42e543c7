#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// The 32-byte header of every packet on the file-share port (little-endian fields).
struct PacketHeader {
    static constexpr std::uint32_t kControlMagic = 0x4E4E4F43;  // "CONN"
    static constexpr std::uint32_t kOpGetState = 1;
    static constexpr std::uint32_t kOpReportState = 2;
    static constexpr std::uint32_t kBufferSize = 2097152;         // one receive buffer, 2 MiB
    static constexpr std::uint32_t kMaxPayload = 2097120;         // buffer less the header

    std::uint32_t magic;
    std::uint32_t length;
    std::uint32_t opcode;
    std::uint32_t state;
    unsigned char rest[16];
};
static_assert(sizeof(PacketHeader) == 32);
static_assert(offsetof(PacketHeader, length) == 4);
static_assert(offsetof(PacketHeader, opcode) == 8);
static_assert(offsetof(PacketHeader, state) == 12);
static_assert(offsetof(PacketHeader, rest) == 16);

}  // namespace quor
