// Test support: acting as another application on the clipboard, and pulling what a
// capture object sends.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/ShareSendProcess.h"
#include "quorsharemgr/platform/Clipboard.h"

namespace quortest {

using Bytes = std::vector<unsigned char>;

// As an application would: open, empty, set each format, close.
inline void AppSets(quor::platform::WindowHandle app, const std::vector<std::pair<std::uint32_t, Bytes>>& formats)
{
    namespace p = quor::platform;
    ASSERT_TRUE(p::OpenClipboard(app));
    ASSERT_TRUE(p::EmptyClipboard());
    for (const auto& [format, bytes] : formats) {
        p::MemHandle h = p::GlobalAlloc(bytes.size());
        ASSERT_NE(h, nullptr);
        void* m = p::GlobalLock(h);
        ASSERT_NE(m, nullptr);
        if (!bytes.empty()) {
            std::memcpy(m, bytes.data(), bytes.size());
        }
        (void)p::GlobalUnlock(h);
        ASSERT_EQ(p::SetClipboardData(format, h), h);
    }
    ASSERT_TRUE(p::CloseClipboard());
}

inline Bytes Utf16(const std::u16string& s, bool terminator)
{
    Bytes b;
    b.reserve(s.size() * 2 + 2);
    for (const char16_t c : s) {
        b.push_back(static_cast<unsigned char>(c & 0xFF));
        b.push_back(static_cast<unsigned char>(c >> 8));
    }
    if (terminator) {
        b.push_back(0);
        b.push_back(0);
    }
    return b;
}
inline Bytes Narrow(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
inline std::uint32_t HtmlFormat() { return quor::platform::RegisterClipboardFormatW(quor::kHtmlFormatName); }

// All the data of a capture object, chunk by chunk, with the chunk rules checked.
inline Bytes Pull(quor::ShareSendProcess& s)
{
    Bytes all;
    const unsigned char* start = nullptr;
    std::uint32_t n = 0;
    while (s.GetNextData(start, n)) {
        EXPECT_GT(n, 0U);
        EXPECT_LE(n, quor::ShareSendProcess::kChunk);
        all.insert(all.end(), start, start + n);
    }
    EXPECT_EQ(all.size(), s.GetDataLen());
    return all;
}

// An "HTML Format" block whose StartHTML points at `html` (or holds `startDigits`).
inline std::string CfHtml(const std::string& html, const std::string& startDigits = "")
{
    const std::string head = "Version:0.9\r\nStartHTML:" + std::string(10, '#') + "\r\n";
    std::string s = head + html;
    std::string digits = startDigits;
    if (digits.empty()) {
        digits = std::to_string(head.size());
        digits = std::string(10 - digits.size(), '0') + digits;
    }
    s.replace(s.find(std::string(10, '#')), 10, digits);
    return s;
}

// A CF_HDROP block: DROPFILES (pFiles 20, fWide as given) and the NUL-terminated paths.
inline Bytes DropList(const std::vector<std::u16string>& paths, std::uint32_t wide = 1)
{
    Bytes b(20, 0);
    b[0] = 20;
    b[16] = static_cast<unsigned char>(wide);
    for (const auto& path : paths) {
        const Bytes w = Utf16(path, true);
        b.insert(b.end(), w.begin(), w.end());
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

}  // namespace quortest
