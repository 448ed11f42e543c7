// Extra header + DIB must read as a BMP file of the right size whose pixels are the DIB's.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "quorsharemgr/BitmapFileHeader.h"

using Bytes = std::vector<unsigned char>;

namespace {

void Put(Bytes& b, std::size_t at, std::uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
}
std::uint32_t Get(const Bytes& b, std::size_t at, int n)
{
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) {
        v = (v << 8) | b[at + i];
    }
    return v;
}

struct Dib {
    int bits;
    std::uint32_t compression;
    std::uint32_t clrUsed;
    std::uint32_t infoSize;
    std::size_t tableBytes;  // masks and palette that really follow the info header
};

constexpr int kW = 5;
constexpr int kH = 3;

std::size_t Stride(int bits) { return ((static_cast<std::size_t>(kW) * bits + 31) / 32) * 4; }

// The raw bits of pixel (x, y) as the test writes them.
std::uint32_t PixelValue(int bits, int x, int y)
{
    const std::uint32_t v = static_cast<std::uint32_t>(x * 7 + y * 13 + 1);
    return bits >= 32 ? v * 0x01010101U : v & ((1U << bits) - 1);
}

Bytes MakeDib(const Dib& d)
{
    Bytes b(d.infoSize + d.tableBytes + Stride(d.bits) * kH, 0xEE);  // table bytes are 0xEE
    std::memset(b.data(), 0, d.infoSize);
    Put(b, 0, d.infoSize, 4);
    Put(b, 4, kW, 4);
    Put(b, 8, kH, 4);
    Put(b, 12, 1, 2);
    Put(b, 14, static_cast<std::uint32_t>(d.bits), 2);
    Put(b, 16, d.compression, 4);
    Put(b, 20, 0, 4);  // biSizeImage 0, legal for BI_RGB
    Put(b, 32, d.clrUsed, 4);
    const std::size_t pixels = d.infoSize + d.tableBytes;
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const std::size_t bit = static_cast<std::size_t>(x) * d.bits;
            const std::size_t at = pixels + y * Stride(d.bits) + bit / 8;
            const std::uint32_t v = PixelValue(d.bits, x, y);
            if (d.bits < 8) {
                const int shift = 8 - d.bits - static_cast<int>(bit % 8);
                b[at] = static_cast<unsigned char>((b[at] & ~(((1U << d.bits) - 1) << shift)) | (v << shift));
            } else {
                Put(b, at, v, d.bits / 8);
            }
        }
    }
    for (std::size_t y = 0; y < kH; ++y) {  // row padding: not 0xEE
        for (std::size_t i = (static_cast<std::size_t>(kW) * d.bits + 7) / 8; i < Stride(d.bits); ++i) {
            b[pixels + y * Stride(d.bits) + i] = 0;
        }
    }
    return b;
}

// A reader of BMP files that knows nothing of DIB tables: it trusts the file header.
std::uint32_t ReadPixel(const Bytes& file, int bits, int x, int y)
{
    const std::size_t off = Get(file, 10, 4);
    const std::size_t bit = static_cast<std::size_t>(x) * bits;
    const std::size_t at = off + y * Stride(bits) + bit / 8;
    if (bits < 8) {
        const int shift = 8 - bits - static_cast<int>(bit % 8);
        return (file[at] >> shift) & ((1U << bits) - 1);
    }
    return Get(file, at, bits / 8);
}

}  // namespace

TEST(BitmapFileHeader, ExtraHeaderAndDataReadAsTheBitmap)
{
    const Dib cases[] = {
        {1, 0, 0, 40, 8},         {4, 0, 0, 40, 64},       {8, 0, 0, 40, 1024},
        {8, 0, 17, 40, 68},       {4, 0, 3, 40, 12},       {16, 0, 0, 40, 0},
        {16, 3, 0, 40, 12},       {24, 0, 0, 40, 0},       {24, 0, 2, 40, 8},
        {32, 0, 0, 40, 0},        {32, 3, 0, 40, 12},      {32, 3, 0, 124, 0},
        {16, 3, 0, 108, 0},       {32, 6, 0, 40, 16},      {1, 0, 0, 124, 8},
    };
    for (const Dib& d : cases) {
        const Bytes dib = MakeDib(d);
        const auto h = quor::ComputeBitmapFileHeader(dib.data(), dib.size());
        ASSERT_TRUE(h.has_value()) << d.bits << " bpp";
        Bytes file(sizeof(quor::BitmapFileHeader));
        std::memcpy(file.data(), &*h, file.size());
        file.insert(file.end(), dib.begin(), dib.end());
        EXPECT_EQ(Get(file, 0, 2), 0x4D42U);
        EXPECT_EQ(Get(file, 2, 4), file.size()) << d.bits << " bpp, clrUsed " << d.clrUsed;
        EXPECT_EQ(Get(file, 10, 4), 14 + d.infoSize + d.tableBytes) << d.bits << " bpp, clrUsed " << d.clrUsed;
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                ASSERT_EQ(ReadPixel(file, d.bits, x, y), PixelValue(d.bits, x, y))
                    << d.bits << " bpp, compression " << d.compression << ", clrUsed " << d.clrUsed << " at " << x
                    << "," << y;
            }
        }
    }
}

TEST(BitmapFileHeader, RefusesHeadersTheBlockCannotHold)
{
    Bytes small(39, 0);
    EXPECT_FALSE(quor::ComputeBitmapFileHeader(small.data(), small.size()));
    Bytes dib = MakeDib({8, 0, 0, 40, 1024});
    Put(dib, 0, 4000, 4);  // info header larger than the block
    EXPECT_FALSE(quor::ComputeBitmapFileHeader(dib.data(), dib.size()));
    Bytes palette = MakeDib({8, 0, 0, 40, 1024});
    Put(palette, 32, 100000, 4);  // a colour table beyond the block
    EXPECT_FALSE(quor::ComputeBitmapFileHeader(palette.data(), palette.size()));
    Bytes tiny(40, 0);
    Put(tiny, 0, 12, 4);  // shorter than BITMAPINFOHEADER
    EXPECT_FALSE(quor::ComputeBitmapFileHeader(tiny.data(), tiny.size()));
}
