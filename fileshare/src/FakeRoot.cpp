#include "fileshare/src/FakeRoot.h"

#include <array>
#include <cctype>
#include <cstring>

#include "shared/log/Log.h"
#include "fileshare/src/WireFormat.h"

namespace quor::fs {

namespace {

constexpr std::size_t kNameBound = 4096;  // a name with its NUL
constexpr int kErrRange = 34;             // ERANGE, as the bounded copy reports it

bool IsDeviceName(std::string_view c)
{
    // Windows opens these devices whatever folder and extension they come with.
    std::string_view base = c.substr(0, c.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.remove_suffix(1);
    }
    std::string upper;
    for (const char ch : base) {
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    }
    static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const std::string_view n : kNames) {
        if (upper == n) {
            return true;
        }
    }
    if (!upper.starts_with("COM") && !upper.starts_with("LPT")) {
        return false;
    }
    // COM0-COM9 and LPT0-LPT9, and with the superscript digits one, two and three
    // (U+00B9, U+00B2, U+00B3, two bytes each in UTF-8).
    const std::string_view digit = std::string_view(upper).substr(3);
    if (digit.size() == 1) {
        return std::isdigit(static_cast<unsigned char>(digit[0])) != 0;
    }
    return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

void SetLength(unsigned char* reply, std::uint32_t length)
{
    std::memcpy(reply + offsetof(ReplyHeader, length), &length, sizeof length);
}

std::uint32_t GetLength(const unsigned char* reply)
{
    std::uint32_t length = 0;
    std::memcpy(&length, reply + offsetof(ReplyHeader, length), sizeof length);
    return length;
}

}  // namespace

bool FakeRoot::IsPlainName(std::string_view c)
{
    if (c.empty() || c.find_first_not_of(". ") == std::string_view::npos) {
        return false;
    }
    for (const char ch : c) {
        const auto u = static_cast<unsigned char>(ch);
        if (u < 0x20 || std::strchr("\\/:*?\"<>|", ch) != nullptr) {
            return false;
        }
    }
    return !IsDeviceName(c);
}

bool FakeRoot::Resolve(const ShareTable& shares, std::string_view path, std::string& shareName,
                       std::string& localPath, std::uint8_t& isRoot, std::uint8_t& isFake)
{
    std::uint32_t below = 0;
    return Resolve(shares, path, shareName, localPath, isRoot, isFake, below);
}

bool FakeRoot::Resolve(const ShareTable& shares, std::string_view path, std::string& shareName,
                       std::string& localPath, std::uint8_t& isRoot, std::uint8_t& isFake,
                       std::uint32_t& componentsBelow)
{
    componentsBelow = 0;
    isRoot = 0;
    isFake = 0;
    if (path.empty() || path[0] != '/') {
        return false;
    }
    const std::string_view rest = path.substr(1);
    shareName.clear();
    localPath.clear();
    const std::size_t p = rest.find('/');
    shareName.assign(rest.substr(0, p));
    if (p == std::string_view::npos && rest.empty()) {
        isRoot = 1;
        isFake = 1;
        return true;
    }
    const auto it = shares.find(shareName);
    // The dot entries are listed in the root but stand for nothing.
    if (it == shares.end() || shareName == "." || shareName == "..") {
        return false;
    }
    const ShareEntry& entry = it->second;
    if (p == std::string_view::npos) {
        if (entry.isVirtual) {
            isFake = 1;
            return true;
        }
        if (entry.files.empty()) {
            return false;
        }
        localPath = entry.files.begin()->second;
        return true;
    }
    std::string_view tail;  // what follows the exported entry, "/" included
    if (!entry.isVirtual) {
        if (entry.files.empty()) {
            return false;
        }
        localPath = entry.files.begin()->second;
        tail = rest.substr(p);
    } else {
        const std::size_t q = rest.find('/', p + 1);
        const std::string_view name = rest.substr(p + 1, q == std::string_view::npos ? std::string_view::npos : q - p - 1);
        const auto f = entry.files.find(std::string(name));
        if (f == entry.files.end()) {
            QLOG(kLogError, "Fake name not found.");
            return false;
        }
        localPath = f->second;
        if (q != std::string_view::npos) {
            tail = rest.substr(q);
        }
    }
    // Every component below the exported entry must name something inside it.
    std::size_t at = 0;
    while (at < tail.size()) {
        const std::size_t next = tail.find('/', at + 1);
        const std::string_view component =
            tail.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        if (!IsPlainName(component)) {
            localPath.clear();
            componentsBelow = 0;
            return false;
        }
        ++componentsBelow;
        at = next == std::string_view::npos ? tail.size() : next;
    }
    localPath.append(tail);
    for (char& ch : localPath) {
        if (ch == '/') {
            ch = '\\';
        }
    }
    return true;
}

std::int32_t FakeRoot::ReadDir(const Listing& listing, unsigned char* reply)
{
    std::size_t cursor = sizeof(ReplyHeader);
    for (const auto& [name, skip] : listing) {
        if (skip) {
            continue;
        }
        if (cursor + sizeof(DirRecordHead) >= kBufferSize) {
            QLOG(kLogError, "Fake ReadDir reply buffer too small: {}", kBufferSize);
            SetLength(reply, 0);
            return kErrFailure;
        }
        const std::size_t nameLength = name->size() + 1;
        const std::size_t padding = 8 - nameLength % 8;
        const std::size_t recordSize = sizeof(DirRecordHead) + nameLength + padding;
        if (cursor + recordSize > kBufferSize) {
            QLOG(kLogError, "Fake ReadDir reply buffer too small: {}", kBufferSize);
            SetLength(reply, 0);
            return kErrFailure;
        }
        if (nameLength > kNameBound) {
            QLOG(kLogError, "Execution of memcpy_s fails with error: {}", kErrRange);
            return 0;
        }
        const std::size_t end = AppendDirRecord(reply + sizeof(ReplyHeader), kReplyPayloadCapacity,
                                                cursor - sizeof(ReplyHeader), *name);
        cursor = sizeof(ReplyHeader) + end;
        SetLength(reply, GetLength(reply) + static_cast<std::uint32_t>(recordSize));
    }
    return 0;
}

}  // namespace quor::fs
