// The 14-byte BMP file header that the guest puts in front of a CF_DIB block, so that the
// extra header and the data of a bitmap message form a BMP file.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quor {

#pragma pack(push, 1)
struct BitmapFileHeader {
    std::uint16_t type = 0x4D42;  // "BM"
    std::uint32_t fileSize = 0;   // bytes of the file: this header plus the whole DIB block
    std::uint16_t reserved1 = 0;
    std::uint16_t reserved2 = 0;
    std::uint32_t pixelOffset = 0;  // from the start of the file to the first pixel byte
};
#pragma pack(pop)
static_assert(sizeof(BitmapFileHeader) == 14);
static_assert(offsetof(BitmapFileHeader, fileSize) == 2);
static_assert(offsetof(BitmapFileHeader, reserved1) == 6);
static_assert(offsetof(BitmapFileHeader, reserved2) == 8);
static_assert(offsetof(BitmapFileHeader, pixelOffset) == 10);
static_assert(std::endian::native == std::endian::little, "wire records are stored as they lie in memory");

// The fields of the packed DIB's leading BITMAPINFOHEADER (or V4/V5 header) that decide
// where its pixels start.
struct DibInfoFields {
    static constexpr std::size_t kInfoHeaderSize = 40;
    static constexpr std::size_t kOffBitCount = 14;
    static constexpr std::size_t kOffCompression = 16;
    static constexpr std::size_t kOffClrUsed = 32;
    static constexpr std::uint32_t kBiBitfields = 3;
    static constexpr std::uint32_t kBiAlphaBitfields = 6;
};

// The file header for a packed DIB of `size` bytes: the pixel offset is where the pixels
// really start (after the info header, the masks that a 40-byte header is followed by, and
// the colour table of biClrUsed entries, or 2^bits entries for 8 bits or fewer when
// biClrUsed is 0); the file size is 14 + `size`. Nullopt when the block is too small for its
// info header or the pixels would start beyond the block.
std::optional<BitmapFileHeader> ComputeBitmapFileHeader(const unsigned char* dib, std::uint64_t size);

}  // namespace quor
