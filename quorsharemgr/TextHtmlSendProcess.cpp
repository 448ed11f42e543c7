#include "quorsharemgr/TextHtmlSendProcess.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/NameChecks.h"
#include "quorsharemgr/PatternScan.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "shared/lib/platform/CrtFiles.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/log/Log.h"

namespace quor {

namespace {
constexpr std::uint64_t kMaxUnicodeBlock = 41943042;  // 0x2800002
constexpr std::uint64_t kMaxHtmlBlock = 20971520;     // 0x1400000
constexpr std::uint64_t kMaxUtf8Text = 20971521;      // 0x1400001
constexpr std::int64_t kMaxImageFile = 134217728;     // 0x8000000
}  // namespace

static_assert(sizeof(std::uint64_t[2]) == 16, "the text/HTML extra header");

TextHtmlSendProcess::TextHtmlSendProcess(std::uint32_t bits, CreateShareNameFn createShareName,
                                         SendShareMessageFn sendShareMessage)
    : bits_(bits), createShareName_(std::move(createShareName)), sendShareMessage_(std::move(sendShareMessage))
{
}

bool TextHtmlSendProcess::Init()
{
    if ((bits_ & ClipboardUnicodeText) != 0 && !InitText()) {
        return false;
    }
    if ((bits_ & ClipboardHtml) != 0 && !InitHtml()) {
        sizes_[1] = 0;
        bits_ &= ~static_cast<std::uint32_t>(ClipboardHtml);
        html_.reset();
        htmlData_ = nullptr;
        QLOG(kLogError, "Failed to get HTML data");
    }
    return true;
}

// The text ends at its first NUL or at the end of the block, whichever comes first; the
// NUL is always part of the UTF-8 text.
bool TextHtmlSendProcess::InitText()
{
    const platform::MemHandle handle = platform::GetClipboardData(kCfUnicodeText);
    if (handle == nullptr) {
        QLOG(kLogError, "Get unicodetext clipboardData failed with error: {}", platform::LastError());
        return false;
    }
    text_ = std::make_unique<LockedBlock>(handle);
    if (!text_->Locked()) {
        QLOG(kLogError, "GlobalLock unicodetext data failed with error: {}", platform::LastError());
        return false;
    }
    const std::uint64_t size = text_->Size();
    if (size > kMaxUnicodeBlock) {
        QLOG(kLogWarning, "Unicode text size: {}, exceeds the maximum size {}", size, kMaxUnicodeBlock);
        return false;
    }
    const std::size_t units = static_cast<std::size_t>(size / 2);
    std::u16string_view text(reinterpret_cast<const char16_t*>(text_->Data()), units);
    text = text.substr(0, scan::FindNul(text));
    int length = 1;  // the NUL
    if (!text.empty()) {
        const int n = platform::WideToUtf8Bytes(text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (n == 0) {
            QLOG(kLogError, "WideCharToMultiByte failed with error: {}", platform::LastError());
            return false;
        }
        length = n + 1;
    }
    if (static_cast<std::uint64_t>(length) > kMaxUtf8Text) {
        QLOG(kLogWarning, "Utf-8 text size: {}, exceeds the maximum size {}", length, kMaxUtf8Text);
        return false;
    }
    // Written only by the conversion, which must fill it exactly as measured.
    utf8Text_.resize(static_cast<std::size_t>(length));
    utf8Text_.back() = '\0';
    if (!text.empty() &&
        platform::WideToUtf8Bytes(text.data(), static_cast<int>(text.size()), utf8Text_.data(), length - 1) !=
            length - 1) {
        QLOG(kLogError, "WideCharToMultiByte failed with error: {}", platform::LastError());
        return false;
    }
    sizes_[0] = static_cast<std::uint64_t>(length);
    return true;
}

bool TextHtmlSendProcess::InitHtml()
{
    const platform::MemHandle handle = platform::GetClipboardData(platform::RegisterClipboardFormatW(kHtmlFormatName));
    if (handle == nullptr) {
        QLOG(kLogError, "Get register HTML clipboard format failed with error: {}", platform::LastError());
        return false;
    }
    html_ = std::make_unique<LockedBlock>(handle);
    if (!html_->Locked()) {
        QLOG(kLogError, "GlobalLock HTML data failed with error: {}", platform::LastError());
        return false;
    }
    const std::uint64_t size = html_->Size();
    if (size > kMaxHtmlBlock) {
        QLOG(kLogWarning, "HTML data size {} exceeds the maximum size {}", size, kMaxHtmlBlock);
        return false;
    }
    sizes_[1] = size;
    std::string_view text(reinterpret_cast<const char*>(html_->Data()), static_cast<std::size_t>(size));
    text = text.substr(0, text.find('\0'));
    const auto digits = scan::FindStartHtml(text);
    if (!digits) {
        QLOG(kLogError, "Unknown HTML format, expected StartHTML.");
        QLOG(kLogError, "Failed to check HTML header.");
        return false;
    }
    const auto offset = scan::ParseDecimal32(*digits);
    if (!offset) {
        QLOG(kLogError, "Failed to get absolute offset of <html> with error: {}", "stoul: out of range");
        return false;
    }
    if (*offset >= sizes_[1]) {
        QLOG(kLogError, "Offset of <html> exceeds HTML data length.");
        QLOG(kLogError, "Failed to check HTML header.");
        return false;
    }
    htmlData_ = html_->Data() + *offset;
    sizes_[1] -= *offset;
    if (!ExportImages()) {
        QLOG(kLogError, "Failed to Get HTML Files.");
        return false;
    }
    return true;
}

bool TextHtmlSendProcess::ExportImages()
{
    if (htmlData_ == nullptr) {
        QLOG(kLogError, "HTML data is a null pointer.");
        return false;
    }
    std::string_view html(reinterpret_cast<const char*>(htmlData_), static_cast<std::size_t>(sizes_[1]));
    html = html.substr(0, html.find('\0'));
    ShareFileMap files;
    std::size_t from = 0;
    std::size_t sources = 0;
    std::size_t notLocal = 0;
    std::size_t failures = 0;
    // Whether a failed image is still logged on its own lines.
    const auto logFailure = [&failures] { return ++failures <= kLoggedImageFailures; };
    while (files.size() < kMaxImages) {
        const auto match = scan::FindImageSource(html, from);
        if (!match) {
            break;
        }
        if (sources == kMaxImageSources) {
            QLOG(kLogWarning, "Stopped looking for HTML images after {} image sources", kMaxImageSources);
            break;
        }
        ++sources;
        from = match->end;
        // Only local files are looked up: a network or device path would make the guest open
        // it (sending the user's credentials to a server the HTML names) while the clipboard
        // is open.
        if (!IsLocalDrivePath(match->path)) {
            ++notLocal;
            continue;
        }
        const std::string path(match->path);
        const int units = platform::Utf8ToWideUnits(path.c_str(), nullptr, 0);
        if (units == 0) {
            if (logFailure()) {
                QLOG(kLogError, "Convert wide char file path size failed with error: {}", platform::LastError());
                QLOG(kLogError, "Failed to get file size");
            }
            continue;
        }
        std::u16string wide(static_cast<std::size_t>(units), u'\0');
        if (platform::Utf8ToWideUnits(path.c_str(), wide.data(), units) == 0) {
            if (logFailure()) {
                QLOG(kLogError, "Convert wide char file path failed with error: {}", platform::LastError());
                QLOG(kLogError, "Failed to get file size");
            }
            continue;
        }
        platform::FileStat64 st{};
        if (platform::WStat64(wide.c_str(), st) != 0) {
            if (logFailure()) {
                QLOG(kLogError, "Failed to get file information with error: {}", platform::Errno());
                QLOG(kLogError, "Failed to get file size");
            }
            continue;
        }
        if (st.size > kMaxImageFile) {
            if (logFailure()) {
                QLOG(kLogWarning, "HTML file size: {}, exceeds the maximum size {}", st.size, kMaxImageFile);
            }
            continue;
        }
        const auto name = scan::FileNameOf(path);
        if (!name) {
            if (logFailure()) {
                QLOG(kLogError, "File path parameter is invalid");
            }
            continue;
        }
        files.emplace(std::string(*name), path);
    }
    if (notLocal > 0) {
        QLOG(kLogWarning, "Skipped {} HTML image paths that are not local drive paths", notLocal);
    }
    if (failures > kLoggedImageFailures) {
        QLOG(kLogWarning, "{} more HTML images could not be exported", failures - kLoggedImageFailures);
    }
    if (files.empty()) {
        return true;
    }
    std::string share;
    try {
        share = createShareName_(files);
    } catch (std::uint32_t error) {
        QLOG(kLogError, "Create virtual share name failed with error: {}", error);
        return false;
    }
    if (sendShareMessage_) {
        sendShareMessage_(share.c_str(), ShareFormatHtmlShareName);
    }
    return true;
}

// The text part and the HTML part are never in one chunk.
bool TextHtmlSendProcess::GetNextData(const unsigned char*& start, std::uint32_t& length)
{
    const std::uint64_t textSize = sizes_[0];
    const std::uint64_t total = sizes_[0] + sizes_[1];
    if (cursor_ >= total) {
        cursor_ = 0;
        return false;
    }
    if (cursor_ < textSize) {
        const std::uint64_t n = std::min<std::uint64_t>(kChunk, textSize - cursor_);
        start = reinterpret_cast<const unsigned char*>(utf8Text_.data()) + cursor_;
        length = static_cast<std::uint32_t>(n);
    } else {
        const std::uint64_t at = cursor_ - textSize;
        const std::uint64_t n = std::min<std::uint64_t>(kChunk, sizes_[1] - at);
        start = htmlData_ + at;
        length = static_cast<std::uint32_t>(n);
    }
    cursor_ += length;
    return true;
}

}  // namespace quor
