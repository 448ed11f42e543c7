#include "quorsharemgr/ShareHeader.h"

#include <cstring>

#include "shared/log/Log.h"
#include "quorsharemgr/ShareCrc32.h"
#include "quorsharemgr/ShareFormat.h"

namespace quor {

namespace {
std::uint32_t Get32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t Get64(const unsigned char* p)
{
    return static_cast<std::uint64_t>(Get32(p)) | static_cast<std::uint64_t>(Get32(p + 4)) << 32;
}
void Put32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}
void Put64(unsigned char* p, std::uint64_t v)
{
    Put32(p, static_cast<std::uint32_t>(v));
    Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
}  // namespace

ShareHeader ShareHeader::Parse(const unsigned char* bytes)
{
    ShareHeader h;
    h.signature = Get32(bytes);
    h.crc = Get32(bytes + 4);
    h.headerLen = Get32(bytes + 8);
    h.format = Get32(bytes + 12);
    h.dataLen = Get64(bytes + 16);
    return h;
}

void ShareHeader::Store(unsigned char* bytes) const
{
    Put32(bytes, signature);
    Put32(bytes + 4, crc);
    Put32(bytes + 8, headerLen);
    Put32(bytes + 12, format);
    Put64(bytes + 16, dataLen);
}

std::vector<unsigned char> ShareHeader::Build(std::uint32_t format, std::string_view extra, std::uint64_t dataLen)
{
    std::vector<unsigned char> bytes(kSize + extra.size(), 0);
    ShareHeader h;
    h.headerLen = static_cast<std::uint32_t>(bytes.size());
    h.format = format;
    h.dataLen = dataLen;
    h.Store(bytes.data());
    if (!extra.empty()) {
        std::memcpy(bytes.data() + kSize, extra.data(), extra.size());
    }
    Put32(bytes.data() + 4, ShareCrc32(bytes.data(), bytes.size()));
    return bytes;
}

std::vector<unsigned char> ShareHeader::BuildShareName(std::uint32_t format, std::string_view name,
                                                       std::uint64_t dataLen)
{
    std::string extra(name);
    extra.push_back('\0');
    return Build(format, extra, dataLen);
}

std::vector<unsigned char> ShareHeader::BuildTextHtml(std::uint32_t format, std::uint64_t plainTextSize,
                                                      std::uint64_t htmlSize)
{
    unsigned char extra[16];
    Put64(extra, plainTextSize);
    Put64(extra + 8, htmlSize);
    return Build(format, std::string_view(reinterpret_cast<const char*>(extra), sizeof extra),
                 plainTextSize + htmlSize);
}

bool ShareHeader::CheckSignatureAndLength() const
{
    if (signature != kSignature) {
        QLOG(kLogError, "Received incorrect signature {}", signature);
        return false;
    }
    if (headerLen - kSize > kMaxExtra) {
        QLOG(kLogError, "Received incorrect header length {}", headerLen);
        return false;
    }
    return true;
}

bool ShareHeader::CheckFormatLimits() const
{
    if (IsTextHtmlFamily(format)) {
        if (headerLen != kTextHtmlHeaderLen) {
            QLOG(kLogError, "Received incorrect plain text and HTML header length {}", headerLen);
            return false;
        }
        if (dataLen > kMaxTextHtmlData) {
            QLOG(kLogWarning, "Received utf-8 text and HTML size {} exceeds the maximum size {}", dataLen,
                 kMaxTextHtmlData);
            return false;
        }
        return true;
    }
    switch (format) {
    case ShareFormatBitmap:
        if (headerLen != kSize) {
            QLOG(kLogError, "Received incorrect BMP header length {}", headerLen);
            return false;
        }
        if (dataLen > kMaxBitmapData) {
            QLOG(kLogWarning, "Received BMP size {} exceeds the maximum size {}", dataLen, kMaxBitmapData);
            return false;
        }
        return true;
    case ShareFormatFiles:
    case ShareFormatHtmlShareName:
        if (headerLen == kSize) {
            QLOG(kLogError, "Received incorrect files virtual share name, format {}", format);
            return false;
        }
        if (format == ShareFormatFiles && dataLen > kMaxFilesData) {
            QLOG(kLogWarning, "Received file size {} exceeds the maximum size {}", dataLen, kMaxFilesData);
            return false;
        }
        if (format == ShareFormatHtmlShareName && dataLen != 0) {
            QLOG(kLogError, "Received incorrect HTML virtual share name dataLen {}", dataLen);
            return false;
        }
        return true;
    case ShareFormatSyncToHost:
        if (headerLen != kSize || dataLen != 0) {
            QLOG(kLogError, "Received incorrect sync clipboard data to host message.");
            return false;
        }
        return true;
    default:
        QLOG(kLogError, "Unsupported clipboard format {}", format);
        return false;
    }
}

bool ShareHeader::CheckExtra(const unsigned char* header, std::uint32_t headerLen)
{
    const ShareHeader h = Parse(header);
    std::vector<unsigned char> copy(header, header + headerLen);
    Put32(copy.data() + 4, 0);
    if (ShareCrc32(copy.data(), copy.size()) != h.crc) {
        QLOG(kLogError, "Check clipboard header crc error.");
        return false;
    }
    if ((h.format == ShareFormatFiles || h.format == ShareFormatHtmlShareName) && header[headerLen - 1] != 0) {
        QLOG(kLogError, "Received incorrect Virtual share name data.");
        return false;
    }
    if (IsTextHtmlFamily(h.format)) {
        const std::uint64_t plain = Get64(header + 24);
        const std::uint64_t html = Get64(header + 32);
        if (plain > kMaxTextOrHtmlPart || html > kMaxTextOrHtmlPart || plain + html != h.dataLen) {
            QLOG(kLogWarning, "Received incorrect extra header, plain text size {}, HTML size {}, all data size {}",
                 plain, html, h.dataLen);
            return false;
        }
    }
    return true;
}

}  // namespace quor
