#include "quorsharemgr/BitmapFileHeader.h"

#include <cstring>

namespace quor {

namespace {
std::uint32_t Get32(const unsigned char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
std::uint16_t Get16(const unsigned char* p)
{
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
}  // namespace

std::optional<BitmapFileHeader> ComputeBitmapFileHeader(const unsigned char* dib, std::uint64_t size)
{
    using F = DibInfoFields;
    if (dib == nullptr || size < F::kInfoHeaderSize || size > 0xFFFFFFFFULL - sizeof(BitmapFileHeader)) {
        return std::nullopt;
    }
    const std::uint64_t infoSize = Get32(dib);
    if (infoSize < F::kInfoHeaderSize || infoSize > size) {
        return std::nullopt;
    }
    const std::uint32_t bitCount = Get16(dib + F::kOffBitCount);
    const std::uint32_t compression = Get32(dib + F::kOffCompression);
    const std::uint64_t clrUsed = Get32(dib + F::kOffClrUsed);

    // Masks follow only a 40-byte header; the V4 and V5 headers hold them inside.
    std::uint64_t maskBytes = 0;
    if (infoSize == F::kInfoHeaderSize && (bitCount == 16 || bitCount == 32)) {
        if (compression == F::kBiBitfields) {
            maskBytes = 12;
        } else if (compression == F::kBiAlphaBitfields) {
            maskBytes = 16;
        }
    }
    std::uint64_t entries = clrUsed;
    if (entries == 0 && bitCount >= 1 && bitCount <= 8) {
        entries = 1ULL << bitCount;
    }
    const std::uint64_t pixels = infoSize + maskBytes + entries * 4;
    if (pixels > size) {
        return std::nullopt;
    }
    BitmapFileHeader h;
    h.fileSize = static_cast<std::uint32_t>(sizeof(BitmapFileHeader) + size);
    h.pixelOffset = static_cast<std::uint32_t>(sizeof(BitmapFileHeader) + pixels);
    return h;
}

}  // namespace quor
