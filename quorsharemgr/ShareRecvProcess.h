// The receive record of the clipboard channel: one clipboard message at a time is checked
// into it, and text and HTML are decoded for placement on the guest clipboard.
//
// States: empty (after Reset) -> header checked (CheckHeader, CheckFormat) -> extra header
// checked (CheckExtraHeader) -> data in the buffer -> decoded (Decode). The HTML share name
// and its pending flag outlive Reset: the next HTML part is rewritten to the share, and a
// replaced name is handed to `onReleaseHtmlShare`.
// Threads: only the listen thread uses the record; it holds no lock. The release callback
// runs on that thread and must only post work elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "shared/lib/DefaultInitAllocator.h"

namespace quor {

class ShareRecvProcess {
public:
    using ReleaseHtmlShare = std::function<void(const char* shareName)>;

    explicit ShareRecvProcess(ReleaseHtmlShare onReleaseHtmlShare = {});

    void Reset();
    // Sizes the buffer to n bytes (growth left unwritten: the port's reads fill it);
    // nullptr when it cannot be sized.
    unsigned char* ResizeBuffer(std::size_t n);
    // Signature and header length of the 24 header bytes; keeps format and dataLen.
    bool CheckHeader(const unsigned char* header);
    // The per-format limits of the 24 header bytes.
    bool CheckFormat(const unsigned char* header);
    // Checksum, share-name terminator, the share name itself (IsValidShareName) and part
    // sizes of the header now in the buffer, and the share-name bookkeeping.
    bool CheckExtraHeader();
    // Text to UTF-16 and HTML to an "HTML Format" block, from the data in the buffer.
    bool Decode();

    std::uint32_t Format() const { return format_; }
    std::uint64_t DataLen() const { return dataLen_; }
    std::uint64_t PlainTextSize() const { return plainTextSize_; }
    std::uint64_t HtmlSize() const { return htmlSize_; }
    const std::string& FilesShareName() const { return filesShareName_; }
    const std::string& HtmlShareName() const { return htmlShareName_; }
    bool HtmlSharePending() const { return htmlSharePending_ != 0; }
    ByteBuffer& Buffer() { return buffer_; }
    const UninitVector<char16_t>& Text() const { return text_; }
    const std::vector<unsigned char>& HtmlBlock() const { return htmlBlock_; }

    // The fixed part of every "HTML Format" block the receiver builds.
    static constexpr std::size_t kHtmlBlockOverhead = 180;

private:
    std::uint32_t format_ = 0;
    std::uint64_t dataLen_ = 0;
    std::uint64_t plainTextSize_ = 0;
    std::uint64_t htmlSize_ = 0;
    std::string filesShareName_;
    std::string htmlShareName_;
    ByteBuffer buffer_;
    UninitVector<char16_t> text_;
    std::vector<unsigned char> htmlBlock_;
    std::uint32_t htmlSharePending_ = 0;
    ReleaseHtmlShare onReleaseHtmlShare_;
};

}  // namespace quor
