#include "quorsharemgr/NameChecks.h"

#include <cstdint>

namespace quor {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The code point of the well-formed UTF-8 sequence at text[i] and its length, or length 0
// for an ill-formed one (overlong forms, surrogates and values above U+10FFFF included).
std::uint32_t DecodeUtf8(std::string_view text, std::size_t i, std::size_t& length)
{
    length = 0;
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char b0 = byte(i);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (b0 < 0x80) {
        length = 1;
        return b0;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        cp = b0 & 0x1Fu;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        cp = b0 & 0x0Fu;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        cp = b0 & 0x07u;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < n) {
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    length = n;
    return cp;
}

bool IsRefusedInShareName(std::uint32_t cp)
{
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
        return true;
    }
    constexpr std::string_view kRefused = "\"*/:<>?\\|[]+=;,%";
    return cp < 0x80 && kRefused.find(static_cast<char>(cp)) != std::string_view::npos;
}

}  // namespace

bool IsValidShareName(std::string_view name)
{
    if (name.empty() || name.back() == '.' || name.back() == ' ') {
        return false;
    }
    for (std::size_t i = 0; i < name.size();) {
        std::size_t length = 0;
        const std::uint32_t cp = DecodeUtf8(name, i, length);
        if (length == 0 || IsRefusedInShareName(cp)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool IsLocalDrivePath(std::string_view path)
{
    return path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

}  // namespace quor
