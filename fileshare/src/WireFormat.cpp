#include "fileshare/src/WireFormat.h"

namespace quor::fs {

ParseResult ParseRequest(const unsigned char* packet, std::size_t received, Request& out)
{
    if (received < sizeof(RequestHeader)) {
        return ParseResult::Malformed;
    }
    std::memcpy(&out.header, packet, sizeof out.header);
    if (out.header.magic != kRequestMagic) {
        return ParseResult::BadMagic;
    }
    if (out.header.opcode - 1 > kMaxOpcode - 1) {
        return ParseResult::BadOpcode;
    }
    if (out.header.length == 0) {
        return ParseResult::ZeroLength;
    }
    // The payload that is really there: what the header says, cut to what arrived.
    const std::size_t payload = received - sizeof(RequestHeader);
    if (out.header.length > payload || out.header.length < sizeof(ArgBlock) + 1) {
        return ParseResult::Malformed;
    }
    const std::size_t end = sizeof(RequestHeader) + out.header.length;
    std::memcpy(&out.args, packet + kArgOffset, sizeof out.args);

    const char* base = reinterpret_cast<const char*>(packet);
    const auto* nul = static_cast<const char*>(std::memchr(base + kPathOffset, 0, end - kPathOffset));
    if (nul == nullptr) {
        return ParseResult::Malformed;
    }
    out.path = std::string_view(base + kPathOffset, static_cast<std::size_t>(nul - (base + kPathOffset)));
    std::size_t next = static_cast<std::size_t>(nul - base) + 1;
    out.newPath = {};
    out.data = nullptr;
    out.dataLength = 0;
    if (out.header.opcode == FUSE_RENAME) {
        const auto* nul2 = next < end ? static_cast<const char*>(std::memchr(base + next, 0, end - next)) : nullptr;
        if (nul2 == nullptr) {
            return ParseResult::Malformed;
        }
        out.newPath = std::string_view(base + next, static_cast<std::size_t>(nul2 - (base + next)));
    } else if (out.header.opcode == FUSE_WRITE) {
        if (out.args.size > end - next) {
            return ParseResult::Malformed;
        }
        out.data = packet + next;
        out.dataLength = static_cast<std::size_t>(out.args.size);
    }
    return ParseResult::Ok;
}

std::size_t BuildRequest(unsigned char* buffer, std::size_t capacity, std::uint32_t opcode, std::uint64_t unique,
                         const ArgBlock& args, std::string_view path, std::string_view second, const void* data,
                         std::size_t dataLength)
{
    std::size_t total = kPathOffset + path.size() + 1;
    if (opcode == FUSE_RENAME) {
        total += second.size() + 1;
    }
    total += dataLength;
    if (total > capacity) {
        return 0;
    }
    RequestHeader h {};
    h.magic = kRequestMagic;
    h.length = static_cast<std::uint32_t>(total - sizeof(RequestHeader));
    h.opcode = opcode;
    h.unique = unique;
    std::memcpy(buffer, &h, sizeof h);
    std::memcpy(buffer + kArgOffset, &args, sizeof args);
    std::size_t at = kPathOffset;
    std::memcpy(buffer + at, path.data(), path.size());
    at += path.size();
    buffer[at++] = 0;
    if (opcode == FUSE_RENAME) {
        std::memcpy(buffer + at, second.data(), second.size());
        at += second.size();
        buffer[at++] = 0;
    }
    if (dataLength > 0) {
        std::memcpy(buffer + at, data, dataLength);
        at += dataLength;
    }
    return at;
}

void WriteReplyHeader(unsigned char* reply, std::uint32_t opcode, std::uint64_t unique, std::int32_t error,
                      std::uint32_t length)
{
    ReplyHeader h {};
    h.magic = kReplyMagic;
    h.length = length;
    h.opcode = opcode;
    h.error = error;
    h.unique = unique;
    std::memcpy(reply, &h, sizeof h);
}

std::size_t AppendDirRecord(unsigned char* payload, std::size_t capacity, std::size_t offset, std::string_view name)
{
    const std::size_t span = DirRecordSize(name.size());
    if (offset > capacity || span > capacity - offset) {
        return 0;
    }
    DirRecordHead head {};
    head.nameLength = static_cast<std::uint32_t>(name.size() + 1);
    head.paddingLength = 8 - head.nameLength % 8;
    std::memcpy(payload + offset, &head, sizeof head);
    unsigned char* p = payload + offset + sizeof head;
    std::memcpy(p, name.data(), name.size());
    // The NUL and the padding are written as zeros: nothing of an earlier reply shows.
    std::memset(p + name.size(), 0, 1 + head.paddingLength);
    return offset + span;
}

}  // namespace quor::fs
