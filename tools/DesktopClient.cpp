#include "tools/DesktopClient.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "shared/lib/platform/SimLayout.h"

namespace quorguest {

namespace sim = quor::platform::sim;

bool DesktopClient::Connect(int waitMs) { return conn_.ConnectPath(quor::platform::DesktopSocket(), waitMs); }

bool DesktopClient::SendRequest(std::string_view body) { return SendRaw(sim::DesktopFrame(body)); }

bool DesktopClient::SendRaw(std::string_view bytes) { return conn_.SendAll(bytes.data(), bytes.size()); }

bool DesktopClient::NextAnswer(std::string& body, int timeoutMs)
{
    unsigned char prefix[4];
    if (!conn_.RecvAll(prefix, sizeof prefix, timeoutMs)) {
        return false;
    }
    const std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                                 (static_cast<std::uint32_t>(prefix[3]) << 24);
    body.assign(length, '\0');
    return length == 0 || conn_.RecvAll(body.data(), length, timeoutMs);
}

bool DesktopClient::Request(std::string_view body, std::string& answer)
{
    return SendRequest(body) && NextAnswer(answer);
}

bool DesktopClient::Set(const std::vector<sim::SetItem>& items, std::string& answer)
{
    return Request(sim::EncodeSetRequest(items), answer) && answer.rfind("ok", 0) == 0;
}

bool DesktopClient::Get(std::vector<sim::FormatContent>& formats, std::string& answer)
{
    return Request("get", answer) && sim::ParseGetAnswer(answer, formats);
}

namespace {

std::uint32_t U32(const std::string& b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

// UTF-16LE units up to `end` (or the first NUL) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8OfUtf16(const std::string& b, std::size_t at, std::size_t end, std::size_t* next = nullptr)
{
    std::string out;
    std::size_t i = at;
    auto unit = [&b](std::size_t k) {
        return static_cast<char16_t>(static_cast<unsigned char>(b[k]) | (static_cast<unsigned char>(b[k + 1]) << 8));
    };
    for (; i + 1 < end; i += 2) {
        char32_t c = unit(i);
        if (c == 0) {
            i += 2;
            break;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < end && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    if (next != nullptr) {
        *next = i;
    }
    return out;
}

std::string Hex(const std::string& b)
{
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(b[i]));
        out += two;
        out += (i % 32 == 31) ? "\n" : " ";
    }
    return out;
}

}  // namespace

std::string Describe(const sim::FormatContent& f)
{
    const std::string& b = f.bytes;
    if (f.number == quor::kCfUnicodeText) {
        return "text: " + Utf8OfUtf16(b, 0, b.size());
    }
    if (f.name == "HTML Format") {
        return "html: " + std::string(b.data(), ::strnlen(b.data(), b.size()));
    }
    if (f.number == quor::kCfDib && b.size() >= 40) {
        char line[160];
        std::snprintf(line, sizeof line, "dib: header %u, %d x %d, %u bpp, compression %u, image %u, colours %u",
                      U32(b, 0), static_cast<int>(U32(b, 4)), static_cast<int>(U32(b, 8)),
                      static_cast<unsigned>(static_cast<unsigned char>(b[14]) | (static_cast<unsigned char>(b[15]) << 8)),
                      U32(b, 16), U32(b, 20), U32(b, 32));
        return line;
    }
    if (f.number == quor::kCfHdrop && b.size() >= 20) {
        const std::uint32_t pFiles = U32(b, 0);
        std::string out = U32(b, 16) != 0 ? "files (wide):" : "files (ANSI):";
        std::size_t at = pFiles;
        while (at < b.size() && U32(b, 16) != 0) {
            std::size_t next = at;
            const std::string path = Utf8OfUtf16(b, at, b.size(), &next);
            if (path.empty()) {
                break;
            }
            out += "\n  " + path;
            at = next;
        }
        return out;
    }
    return "hex:\n" + Hex(b);
}

}  // namespace quorguest
