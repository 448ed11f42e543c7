#include "quorsharemgr/platform/posix/DesktopProtocol.h"

#include <charconv>
#include <cstdio>

namespace quor::platform::sim {

namespace {

void PutU32(std::string& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

// A decimal number that fills `text` completely.
bool Decimal(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Takes one "<head> <size>\n" line and its `size` bytes off the front of `rest`.
bool TakeSized(std::string_view& rest, std::string_view& head, std::string_view& bytes)
{
    const auto eol = rest.find('\n');
    if (eol == std::string_view::npos) {
        return false;
    }
    const std::string_view line = rest.substr(0, eol);
    const auto space = line.rfind(' ');
    std::uint64_t size = 0;
    if (space == std::string_view::npos || !Decimal(line.substr(space + 1), size)) {
        return false;
    }
    rest.remove_prefix(eol + 1);
    if (size > rest.size()) {
        return false;
    }
    head = line.substr(0, space);
    bytes = rest.substr(0, size);
    rest.remove_prefix(size);
    return true;
}

bool KnownKind(std::string_view kind)
{
    if (kind == "text" || kind == "html" || kind == "dib" || kind == "files") {
        return true;
    }
    std::uint64_t n = 0;
    if (kind.substr(0, 7) == "format:") {
        return Decimal(kind.substr(7), n) && n >= 1 && n <= 0xFFFF;
    }
    return kind.substr(0, 5) == "name:" && kind.size() > 5;
}

}  // namespace

std::string DesktopFrame(std::string_view body)
{
    std::string out;
    out.reserve(body.size() + 4);
    PutU32(out, static_cast<std::uint32_t>(body.size()));
    out.append(body);
    return out;
}

void SplitRequest(std::string_view body, std::string_view& commandLine, std::string_view& payload)
{
    const auto eol = body.find('\n');
    commandLine = body.substr(0, eol);
    payload = eol == std::string_view::npos ? std::string_view() : body.substr(eol + 1);
}

std::string EncodeSetRequest(const std::vector<SetItem>& items)
{
    std::string body = "set\n";
    for (const SetItem& item : items) {
        body += item.kind + " " + std::to_string(item.bytes.size()) + "\n";
        body += item.bytes;
    }
    return body;
}

bool ParseSetItems(std::string_view payload, std::vector<SetItem>& items, std::string& error)
{
    items.clear();
    while (!payload.empty()) {
        std::string_view kind;
        std::string_view bytes;
        if (!TakeSized(payload, kind, bytes)) {
            error = "malformed item " + std::to_string(items.size() + 1);
            return false;
        }
        if (!KnownKind(kind)) {
            error = "unknown kind " + std::string(kind);
            return false;
        }
        items.push_back(SetItem{std::string(kind), std::string(bytes)});
    }
    return true;
}

std::string EncodeGetAnswer(const std::vector<FormatContent>& formats)
{
    std::string out = "ok " + std::to_string(formats.size()) + "\n";
    for (const FormatContent& f : formats) {
        out += std::to_string(f.number) + " " + std::to_string(f.bytes.size()) + " " + f.name + "\n";
        out += f.bytes;
    }
    return out;
}

bool ParseGetAnswer(std::string_view answer, std::vector<FormatContent>& formats)
{
    formats.clear();
    std::string_view line;
    std::string_view rest;
    SplitRequest(answer, line, rest);
    std::uint64_t count = 0;
    if (line.substr(0, 3) != "ok " || !Decimal(line.substr(3), count)) {
        return false;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        // "<number> <size> <name>": the name may hold spaces, so split after the number.
        const auto eol = rest.find('\n');
        const auto space = rest.find(' ');
        std::uint64_t number = 0;
        if (eol == std::string_view::npos || space == std::string_view::npos || space > eol ||
            !Decimal(rest.substr(0, space), number)) {
            return false;
        }
        const std::string_view tail = rest.substr(space + 1, eol - space - 1);  // "<size> <name>"
        const auto nameAt = tail.find(' ');
        std::uint64_t size = 0;
        if (nameAt == std::string_view::npos || !Decimal(tail.substr(0, nameAt), size)) {
            return false;
        }
        const std::string name(tail.substr(nameAt + 1));
        rest.remove_prefix(eol + 1);
        if (size > rest.size()) {
            return false;
        }
        formats.push_back(FormatContent{static_cast<std::uint32_t>(number), name, std::string(rest.substr(0, size))});
        rest.remove_prefix(size);
    }
    return rest.empty();
}

const char* PredefinedFormatName(std::uint32_t format)
{
    switch (format) {
    case 1: return "CF_TEXT";
    case 2: return "CF_BITMAP";
    case 7: return "CF_OEMTEXT";
    case 8: return "CF_DIB";
    case 13: return "CF_UNICODETEXT";
    case 15: return "CF_HDROP";
    case 16: return "CF_LOCALE";
    case 17: return "CF_DIBV5";
    default: return "";
    }
}

std::string CfHtmlOf(std::string_view fragment)
{
    static constexpr char kHead[] = "Version:0.9\r\nStartHTML:%010zu\r\nEndHTML:%010zu\r\n"
                                    "StartFragment:%010zu\r\nEndFragment:%010zu\r\n";
    static constexpr std::string_view kBefore = "<html><body>\r\n<!--StartFragment-->";
    static constexpr std::string_view kAfter = "<!--EndFragment-->\r\n</body></html>";
    // Every number has ten digits, so the header's length does not depend on them.
    const std::size_t zero = 0;
    const auto headLen = static_cast<std::size_t>(std::snprintf(nullptr, 0, kHead, zero, zero, zero, zero));
    const std::size_t startFragment = headLen + kBefore.size();
    const std::size_t endFragment = startFragment + fragment.size();
    const std::size_t endHtml = endFragment + kAfter.size();
    std::string out(headLen + 1, '\0');
    std::snprintf(out.data(), out.size(), kHead, headLen, endHtml, startFragment, endFragment);
    out.resize(headLen);
    out.append(kBefore);
    out.append(fragment);
    out.append(kAfter);
    return out;
}

std::string DropFilesOf(const std::vector<std::u16string>& paths)
{
    std::string out(20, '\0');
    out[0] = 20;   // pFiles
    out[16] = 1;   // fWide
    auto unit = [&out](char16_t c) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    };
    for (const std::u16string& path : paths) {
        for (const char16_t c : path) {
            unit(c);
        }
        unit(0);
    }
    unit(0);
    return out;
}

}  // namespace quor::platform::sim
