// Captures Unicode text (converted into an owned UTF-8 buffer) and the "HTML Format" block
// (sent straight from the locked block, from its StartHTML offset on), and exports the
// local images the HTML refers to as a virtual share.
// States: created -> Init (blocks locked) -> chunks -> destroyed (blocks unlocked).
#pragma once

#include <memory>
#include <vector>

#include "quorsharemgr/LockedBlock.h"
#include "quorsharemgr/ShareSendProcess.h"
#include "shared/lib/DefaultInitAllocator.h"

namespace quor {

class TextHtmlSendProcess : public ShareSendProcess {
public:
    static constexpr std::size_t kMaxImages = 100;
    // Image sources looked at in one HTML, whatever became of them: HTML from a web page may
    // name thousands, and the clipboard is open while they are looked at.
    static constexpr std::size_t kMaxImageSources = 1000;
    // Images that could not be exported and are logged one by one; the rest are counted.
    static constexpr std::size_t kLoggedImageFailures = 10;

    TextHtmlSendProcess(std::uint32_t bits, CreateShareNameFn createShareName, SendShareMessageFn sendShareMessage);

    bool Init() override;
    bool GetNextData(const unsigned char*& start, std::uint32_t& length) override;
    std::uint64_t GetDataLen() override { return sizes_[0] + sizes_[1]; }
    std::uint32_t GetFormat() override { return bits_ & 12U; }
    const unsigned char* GetExtraHeader() override { return reinterpret_cast<const unsigned char*>(sizes_); }
    std::uint32_t GetExtraHeaderLen() override { return sizeof sizes_; }

    std::uint64_t PlainTextSize() const { return sizes_[0]; }
    std::uint64_t HtmlSize() const { return sizes_[1]; }

private:
    bool InitText();
    bool InitHtml();
    bool ExportImages();

    std::uint32_t bits_;
    std::unique_ptr<LockedBlock> text_;
    std::unique_ptr<LockedBlock> html_;
    const unsigned char* htmlData_ = nullptr;
    std::uint64_t cursor_ = 0;
    // plainTextSize, htmlSize: the 16-byte extra header itself.
    std::uint64_t sizes_[2] = {0, 0};
    UninitVector<char> utf8Text_;  // written only by the conversion
    CreateShareNameFn createShareName_;
    SendShareMessageFn sendShareMessage_;
};

}  // namespace quor
