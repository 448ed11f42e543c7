#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// CRC-32C (Castagnoli, reflected, polynomial 0x82F63B78) with the register starting at 0
// and the result complemented: "123456789" gives 0xA71C05DF.
std::uint32_t ShareCrc32(const void* data, std::size_t length);

}  // namespace quor
