#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quor {

// The fixed 24-byte head of every clipboard message (little-endian on the wire).
struct ShareHeader {
    static constexpr std::uint32_t kSignature = 0xFDB98ACE;
    static constexpr std::uint32_t kSize = 24;
    static constexpr std::uint32_t kMaxExtra = 40;
    static constexpr std::uint32_t kTextHtmlHeaderLen = 40;
    static constexpr std::uint32_t kBitmapFileHeaderLen = 14;

    static constexpr std::uint64_t kMaxTextHtmlData = 41943042;   // 0x2800002
    static constexpr std::uint64_t kMaxTextOrHtmlPart = 20971521; // 0x1400001
    static constexpr std::uint64_t kMaxBitmapData = 134217728;    // 0x8000000
    static constexpr std::uint64_t kMaxFilesData = 20971520;      // 0x1400000

    std::uint32_t signature = kSignature;
    std::uint32_t crc = 0;
    std::uint32_t headerLen = kSize;
    std::uint32_t format = 0;
    std::uint64_t dataLen = 0;

    // Reads the fixed header from at least 24 bytes.
    static ShareHeader Parse(const unsigned char* bytes);
    void Store(unsigned char* bytes) const;

    // Builds the header bytes of a message (fixed header, extra header, checksum).
    static std::vector<unsigned char> Build(std::uint32_t format, std::string_view extra, std::uint64_t dataLen);
    // A share-name extra header: the name and its NUL.
    static std::vector<unsigned char> BuildShareName(std::uint32_t format, std::string_view name,
                                                     std::uint64_t dataLen = 0);
    // A text/HTML extra header with its two part sizes.
    static std::vector<unsigned char> BuildTextHtml(std::uint32_t format, std::uint64_t plainTextSize,
                                                    std::uint64_t htmlSize);

    // Receive-side checks on the fixed header, before any buffer for the rest is sized.
    // Logs the failed check and returns false.
    bool CheckFixed() const { return CheckSignatureAndLength() && CheckFormatLimits(); }
    // The first two of them: signature, header length.
    bool CheckSignatureAndLength() const;
    // The per-format checks of header length and data length.
    bool CheckFormatLimits() const;
    // Receive-side checks once the whole `headerLen` bytes are in: checksum, share-name
    // terminator, text/HTML part sizes.
    static bool CheckExtra(const unsigned char* header, std::uint32_t headerLen);

    static bool IsTextHtmlFamily(std::uint32_t format) { return (format & ~0xCU) == 0; }
};

}  // namespace quor
