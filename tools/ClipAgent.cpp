#include "tools/ClipAgent.h"

#include <cstring>
#include <utility>

#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/ShareHeader.h"

namespace quorhost {

namespace {

std::string NameIn(const ClipMessage& m)
{
    if (m.header.size() <= quor::ShareHeader::kSize) {
        return {};
    }
    const char* p = reinterpret_cast<const char*>(m.header.data() + quor::ShareHeader::kSize);
    return std::string(p, strnlen(p, m.header.size() - quor::ShareHeader::kSize));
}

std::uint64_t U64At(const std::vector<unsigned char>& b, std::size_t at)
{
    std::uint64_t v = 0;
    if (b.size() >= at + 8) {
        std::memcpy(&v, b.data() + at, 8);
    }
    return v;
}

}  // namespace

bool ClipAgent::NextMessage(ClipMessage& m, int timeoutMs)
{
    if (!pending_.empty()) {
        m = std::move(pending_.front());
        pending_.erase(pending_.begin());
    } else if (!port_.RecvClip(m, timeoutMs)) {
        return false;
    }
    if (m.format == quor::ShareFormatListenStarted) {
        ++listenStarted_;
    } else if (m.format == quor::ShareFormatReleaseShareName) {
        released_.push_back(NameIn(m));
    } else if (m.format == quor::ShareFormatHtmlShareName) {
        htmlShare_ = NameIn(m);
    }
    return true;
}

bool ClipAgent::WaitListenStarted(int timeoutMs)
{
    ClipMessage m;
    std::vector<ClipMessage> before;
    while (port_.RecvClip(m, timeoutMs)) {
        if (m.format == quor::ShareFormatListenStarted) {
            ++listenStarted_;
            pending_.insert(pending_.end(), before.begin(), before.end());
            return true;
        }
        before.push_back(m);
    }
    pending_.insert(pending_.end(), before.begin(), before.end());
    return false;
}

bool ClipAgent::Next(GuestClip& clip, int timeoutMs)
{
    ClipMessage m;
    return NextData(m, timeoutMs) && Decode(std::move(m), clip);
}

bool ClipAgent::NextData(ClipMessage& m, int timeoutMs)
{
    for (;;) {
        if (!NextMessage(m, timeoutMs)) {
            return false;
        }
        const std::uint32_t f = m.format;
        if (f != quor::ShareFormatListenStarted && f != quor::ShareFormatReleaseShareName &&
            f != quor::ShareFormatHtmlShareName) {
            return true;
        }
    }
}

bool ClipAgent::Decode(ClipMessage&& m, GuestClip& clip) const
{
    const std::uint32_t f = m.format;
    clip = GuestClip{};
    clip.format = f;
    if (quor::ShareHeader::IsTextHtmlFamily(f)) {
        const std::uint64_t textSize = U64At(m.header, 24);
        const std::uint64_t htmlSize = U64At(m.header, 32);
        if (textSize + htmlSize != m.data.size()) {
            return false;
        }
        const auto* bytes = reinterpret_cast<const char*>(m.data.data());
        clip.text.assign(bytes, static_cast<std::size_t>(textSize));
        clip.html.assign(bytes + textSize, static_cast<std::size_t>(htmlSize));
        clip.htmlShare = htmlShare_;
    } else if (f == quor::ShareFormatBitmap) {
        clip.dib.reserve(m.header.size() - quor::ShareHeader::kSize + m.data.size());
        clip.dib.assign(m.header.begin() + quor::ShareHeader::kSize, m.header.end());
        clip.dib.insert(clip.dib.end(), m.data.begin(), m.data.end());
    } else if (f == quor::ShareFormatFiles) {
        clip.filesShare = NameIn(m);
        std::size_t at = 0;
        while (at < m.data.size()) {
            const char* p = reinterpret_cast<const char*>(m.data.data() + at);
            const std::size_t n = strnlen(p, m.data.size() - at);
            if (n == 0) {
                break;
            }
            clip.files.emplace_back(p, n);
            at += n + 1;
        }
    }
    clip.raw = std::move(m);
    return true;
}

bool ClipAgent::SyncToHost()
{
    return port_.SendClip(quor::ShareFormatSyncToHost, quor::ShareHeader::Build(quor::ShareFormatSyncToHost, {}, 0),
                          nullptr, 0);
}

bool ClipAgent::SendText(const std::string& utf8)
{
    const auto h = quor::ShareHeader::BuildTextHtml(quor::ShareFormatUnicodeText, utf8.size(), 0);
    return port_.SendClip(quor::ShareFormatUnicodeText, h, utf8.data(), utf8.size());
}

bool ClipAgent::SendHtml(const std::string& html, const std::string& text)
{
    const std::uint32_t f = quor::ShareFormatHtml | (text.empty() ? 0U : quor::ShareFormatUnicodeText);
    const auto h = quor::ShareHeader::BuildTextHtml(f, text.size(), html.size());
    const std::string data = text + html;
    return port_.SendClip(f, h, data.data(), data.size());
}

bool ClipAgent::SendDib(const std::vector<unsigned char>& dib)
{
    const auto h = quor::ShareHeader::Build(quor::ShareFormatBitmap, {}, dib.size());
    return port_.SendClip(quor::ShareFormatBitmap, h, dib.data(), dib.size());
}

bool ClipAgent::SendFiles(const std::string& shareName)
{
    return port_.SendClip(quor::ShareFormatFiles, quor::ShareHeader::BuildShareName(quor::ShareFormatFiles, shareName),
                          nullptr, 0);
}

bool ClipAgent::SendHtmlShareName(const std::string& shareName)
{
    return port_.SendClip(quor::ShareFormatHtmlShareName,
                          quor::ShareHeader::BuildShareName(quor::ShareFormatHtmlShareName, shareName), nullptr, 0);
}

}  // namespace quorhost
