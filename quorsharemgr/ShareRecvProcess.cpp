#include "quorsharemgr/ShareRecvProcess.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "quorsharemgr/NameChecks.h"
#include "quorsharemgr/PatternScan.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "shared/lib/Format.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/log/Log.h"

namespace quor {

namespace {
std::uint64_t Get64(const unsigned char* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}
}  // namespace

ShareRecvProcess::ShareRecvProcess(ReleaseHtmlShare onReleaseHtmlShare)
    : onReleaseHtmlShare_(std::move(onReleaseHtmlShare))
{
}

void ShareRecvProcess::Reset()
{
    format_ = 0;
    dataLen_ = 0;
    plainTextSize_ = 0;
    htmlSize_ = 0;
    filesShareName_.clear();
    ByteBuffer().swap(buffer_);
    UninitVector<char16_t>().swap(text_);
    std::vector<unsigned char>().swap(htmlBlock_);
}

unsigned char* ShareRecvProcess::ResizeBuffer(std::size_t n)
{
    try {
        buffer_.resize(n);
    } catch (const std::exception& e) {
        QLOG(kLogError, "Failed to resize vector: {}", e.what());
        return nullptr;
    }
    return buffer_.data();
}

bool ShareRecvProcess::CheckHeader(const unsigned char* header)
{
    const ShareHeader h = ShareHeader::Parse(header);
    if (!h.CheckSignatureAndLength()) {
        return false;
    }
    format_ = h.format;
    dataLen_ = h.dataLen;
    return true;
}

bool ShareRecvProcess::CheckFormat(const unsigned char* header)
{
    ShareHeader h = ShareHeader::Parse(header);
    h.format = format_;
    h.dataLen = dataLen_;
    return h.CheckFormatLimits();
}

bool ShareRecvProcess::CheckExtraHeader()
{
    if (buffer_.size() < ShareHeader::kSize) {
        QLOG(kLogError, "Check clipboard header crc error.");
        return false;
    }
    const ShareHeader h = ShareHeader::Parse(buffer_.data());
    if (h.headerLen < ShareHeader::kSize || h.headerLen > buffer_.size()) {
        QLOG(kLogError, "Check clipboard header crc error.");
        return false;
    }
    if (!ShareHeader::CheckExtra(buffer_.data(), h.headerLen)) {
        return false;
    }
    if (format_ == ShareFormatFiles || format_ == ShareFormatHtmlShareName) {
        const char* name = reinterpret_cast<const char*>(buffer_.data() + ShareHeader::kSize);
        const std::string received(name, strnlen(name, h.headerLen - ShareHeader::kSize));
        // The name becomes a folder of the host's server and is written into HTML: a message
        // with any other kind of name is dropped, and changes nothing.
        if (!IsValidShareName(received)) {
            QLOG(kLogError, "Received invalid virtual share name, format {}", format_);
            return false;
        }
        if (!htmlShareName_.empty()) {
            if (onReleaseHtmlShare_) {
                onReleaseHtmlShare_(htmlShareName_.c_str());
            }
            htmlShareName_.clear();
        }
        if (format_ == ShareFormatHtmlShareName) {
            htmlShareName_ = received;
            htmlSharePending_ = 1;
        } else {
            filesShareName_ = received;
        }
        return true;
    }
    if (ShareHeader::IsTextHtmlFamily(format_)) {
        plainTextSize_ = Get64(buffer_.data() + 24);
        htmlSize_ = Get64(buffer_.data() + 32);
    }
    return true;
}

bool ShareRecvProcess::Decode()
{
    // Everything below is bounded by the data actually received, never by a terminator.
    const std::uint64_t avail = std::min<std::uint64_t>(buffer_.size(), dataLen_);
    const char* data = reinterpret_cast<const char*>(buffer_.data());
    if ((format_ & ShareFormatUnicodeText) != 0) {
        const std::uint64_t n = std::min<std::uint64_t>(plainTextSize_, avail);
        const int len = static_cast<int>(n);
        const int units = platform::Utf8ToWideUnitsN(data, len, nullptr, 0);
        if (units < 1) {
            QLOG(kLogError, "Convert unicode text size failed with error: {}", platform::LastError());
            return false;
        }
        // Sized with its terminator at once (growing it afterwards would copy it all again),
        // and written only by the conversion.
        text_.resize(static_cast<std::size_t>(units) + 1);
        text_[static_cast<std::size_t>(units)] = u'\0';
        if (platform::Utf8ToWideUnitsN(data, len, text_.data(), units) != units) {
            QLOG(kLogError, "Convert unicode text data failed with error: {}", platform::LastError());
            return false;
        }
    }
    if ((format_ & ShareFormatHtml) != 0) {
        const std::uint64_t start = std::min<std::uint64_t>(plainTextSize_, avail);
        const std::uint64_t end = std::min<std::uint64_t>(plainTextSize_ + htmlSize_, avail);
        // The HTML ends at its first NUL; the rewrite finds it in its own pass.
        const std::string_view html(data + start, static_cast<std::size_t>(end - start));
        // The block is built in place, in one pass over the fragment (it may be tens of
        // megabytes): the head's place first, the fragment (its image paths rewritten to the
        // share when a share name came before it), the tail, then the head with the length.
        const std::string_view tail = "<!--EndFragment-->\r\n</body>\r\n</html>\r\n";
        const std::size_t headSize = kHtmlBlockOverhead - 1 - tail.size();
        htmlBlock_.clear();
        htmlBlock_.reserve(html.size() + html.size() / 4 + 4096 + kHtmlBlockOverhead);
        htmlBlock_.resize(headSize);
        if (htmlSharePending_ != 0) {
            scan::AppendImagePathsRewritten(html, htmlShareName_, htmlBlock_);
            htmlSharePending_ = 0;
        } else {
            const std::string_view text = html.substr(0, html.find('\0'));
            htmlBlock_.insert(htmlBlock_.end(), text.begin(), text.end());
        }
        const std::size_t length = htmlBlock_.size() - headSize;
        const std::string head = quor::format(
            "Version:1.0\r\nStartHTML:0000000105\r\nEndHTML:{:010}\r\nStartFragment:0000000141\r\n"
            "EndFragment:{:010}\r\n<html>\r\n<body>\r\n<!--StartFragment-->",
            length + 179, length + 141);
        if (head.size() != headSize) {
            std::vector<unsigned char>().swap(htmlBlock_);
            QLOG(kLogError, "Execution of sprintf_s fails with error: {}", -1);
            return false;
        }
        std::memcpy(htmlBlock_.data(), head.data(), headSize);
        htmlBlock_.insert(htmlBlock_.end(), tail.begin(), tail.end());
        htmlBlock_.push_back(0);
    }
    return true;
}

}  // namespace quor
