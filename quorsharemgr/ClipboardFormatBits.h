// The one table between what the guest clipboard holds and what travels on the wire:
// content bit, Windows clipboard format (0 for the registered "HTML Format", whose number
// is known only at run time) and message format.
#pragma once

#include <array>
#include <cstdint>

#include "quorsharemgr/ShareFormat.h"

namespace quor {

enum ClipboardFormatBits : std::uint32_t {
    ClipboardBitmap = 1,
    ClipboardFiles = 2,
    ClipboardUnicodeText = 4,
    ClipboardHtml = 8,
};

inline constexpr std::uint32_t kCfDib = 8;
inline constexpr std::uint32_t kCfHdrop = 15;
inline constexpr std::uint32_t kCfUnicodeText = 13;
inline constexpr char16_t kHtmlFormatName[] = u"HTML Format";

struct ClipboardFormatRow {
    ClipboardFormatBits bit;
    std::uint32_t windowsFormat;  // 0: the registered "HTML Format"
    ShareFormat shareFormat;
};

inline constexpr std::array<ClipboardFormatRow, 4> kClipboardFormats{{
    {ClipboardBitmap, kCfDib, ShareFormatBitmap},
    {ClipboardFiles, kCfHdrop, ShareFormatFiles},
    {ClipboardUnicodeText, kCfUnicodeText, ShareFormatUnicodeText},
    {ClipboardHtml, 0, ShareFormatHtml},
}};
static_assert(kClipboardFormats[0].bit == static_cast<std::uint32_t>(kClipboardFormats[0].shareFormat));
static_assert(kClipboardFormats[1].bit == static_cast<std::uint32_t>(kClipboardFormats[1].shareFormat));
static_assert(kClipboardFormats[2].bit == static_cast<std::uint32_t>(kClipboardFormats[2].shareFormat));
static_assert(kClipboardFormats[3].bit == static_cast<std::uint32_t>(kClipboardFormats[3].shareFormat));

// Which capture class a set of content bits calls for: a file list alone; otherwise text
// or HTML with all the bits; otherwise a bitmap alone; otherwise nothing.
enum class SenderKind { None, Files, TextHtml, Bitmap };
constexpr SenderKind SelectSender(std::uint32_t bits)
{
    if (bits == ClipboardFiles) {
        return SenderKind::Files;
    }
    if ((bits & (ClipboardUnicodeText | ClipboardHtml)) != 0) {
        return SenderKind::TextHtml;
    }
    if (bits == ClipboardBitmap) {
        return SenderKind::Bitmap;
    }
    return SenderKind::None;
}

}  // namespace quor
