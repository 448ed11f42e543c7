#pragma once

#include <cstdint>

namespace quor {

// Clipboard message formats. The first four double as the clipboard content bits.
enum ShareFormat : std::uint32_t {
    ShareFormatBitmap = 1,
    ShareFormatFiles = 2,
    ShareFormatUnicodeText = 4,
    ShareFormatHtml = 8,
    ShareFormatListenStarted = 16,
    ShareFormatReleaseShareName = 32,
    ShareFormatHtmlShareName = 64,
    ShareFormatSyncToHost = 128,
};

}  // namespace quor
