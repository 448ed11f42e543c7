#include "quorsharemgr/ShareCrc32.h"

#include <array>

namespace quor {

namespace {
constexpr std::array<std::uint32_t, 256> MakeTable()
{
    std::array<std::uint32_t, 256> table {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int k = 0; k < 8; ++k) {
            r = (r & 1U) != 0 ? (r >> 1) ^ 0x82F63B78U : r >> 1;
        }
        table[i] = r;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0xF26B8303U);
}  // namespace

std::uint32_t ShareCrc32(const void* data, std::size_t length)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < length; ++i) {
        r = kTable[(r ^ p[i]) & 0xFFU] ^ (r >> 8);
    }
    return ~r;
}

}  // namespace quor
