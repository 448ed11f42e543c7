// The file-share protocol's packets: request header, argument block, reply header and
// the two reply records. All integers little-endian; every reader is bounded by the
// bytes actually received.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quor::fs {

static_assert(std::endian::native == std::endian::little, "records are read and written in place");

inline constexpr std::uint32_t kRequestMagic = 0x51534647;  // "GFSQ"
inline constexpr std::uint32_t kReplyMagic = 0x52534647;    // "GFSR"
inline constexpr std::size_t kBufferSize = 0x200000;        // one request or reply buffer, 2 MiB

enum FuseOpcode : std::uint32_t {
    FUSE_GETATTR = 1,
    FUSE_OPEN = 2,
    FUSE_READ = 3,
    FUSE_READDIR = 4,
    FUSE_WRITE = 5,
    FUSE_RELEASE = 6,
    FUSE_RENAME = 7,
    FUSE_UNLINK = 8,
    FUSE_TRUNCATE = 9,
    FUSE_MKDIR = 10,
    FUSE_RMDIR = 11,
};
inline constexpr std::uint32_t kMaxOpcode = FUSE_RMDIR;

// `error` values.
inline constexpr std::int32_t kErrFailure = -1;
inline constexpr std::int32_t kErrNoEntry = -2;
inline constexpr std::int32_t kErrAccess = -13;

// Windows runtime open flags as they travel in OPEN's `flags`.
inline constexpr std::uint32_t kOpenWriteOnly = 0x1;
inline constexpr std::uint32_t kOpenReadWrite = 0x2;
inline constexpr std::uint32_t kOpenAppend = 0x8;
inline constexpr std::uint32_t kOpenCreate = 0x100;
inline constexpr std::uint32_t kOpenTruncate = 0x200;
inline constexpr std::uint32_t kOpenExclusive = 0x400;
inline constexpr std::uint32_t kOpenBinary = 0x8000;

// st_mode type bits on the wire.
inline constexpr std::uint64_t kModeDirectory = 0x4000;
inline constexpr std::uint64_t kModeRegular = 0x8000;

struct RequestHeader {
    std::uint32_t magic;
    std::uint32_t length;  // payload bytes behind this header
    std::uint32_t opcode;
    std::uint32_t reserved0;
    std::uint64_t unique;
    unsigned char reserved1[8];
};
static_assert(sizeof(RequestHeader) == 32);
static_assert(offsetof(RequestHeader, magic) == 0);
static_assert(offsetof(RequestHeader, length) == 4);
static_assert(offsetof(RequestHeader, opcode) == 8);
static_assert(offsetof(RequestHeader, unique) == 16);

struct ArgBlock {
    std::uint64_t flags;
    std::uint64_t hostFileHandle;
    std::uint64_t size;
    std::uint64_t offset;
    unsigned char reserved[32];
};
static_assert(sizeof(ArgBlock) == 64);
static_assert(offsetof(ArgBlock, flags) == 0);
static_assert(offsetof(ArgBlock, hostFileHandle) == 8);
static_assert(offsetof(ArgBlock, size) == 16);
static_assert(offsetof(ArgBlock, offset) == 24);

inline constexpr std::size_t kArgOffset = sizeof(RequestHeader);               // 32
inline constexpr std::size_t kPathOffset = kArgOffset + sizeof(ArgBlock);      // 96

struct ReplyHeader {
    std::uint32_t magic;
    std::uint32_t length;  // payload bytes behind this header
    std::uint32_t opcode;
    std::int32_t error;
    std::uint64_t unique;
};
static_assert(sizeof(ReplyHeader) == 24);
static_assert(offsetof(ReplyHeader, length) == 4);
static_assert(offsetof(ReplyHeader, opcode) == 8);
static_assert(offsetof(ReplyHeader, error) == 12);
static_assert(offsetof(ReplyHeader, unique) == 16);

inline constexpr std::size_t kReplyPayloadCapacity = kBufferSize - sizeof(ReplyHeader);

struct AttrRecord {
    std::uint64_t mode;
    std::uint64_t unused0;
    std::uint64_t size;
    std::uint64_t unused1;
    std::uint64_t atime;
    std::uint64_t mtime;
    std::uint64_t ctime;
    std::uint64_t zero;
};
static_assert(sizeof(AttrRecord) == 64);
static_assert(offsetof(AttrRecord, size) == 16);
static_assert(offsetof(AttrRecord, atime) == 32);
static_assert(offsetof(AttrRecord, mtime) == 40);
static_assert(offsetof(AttrRecord, ctime) == 48);
static_assert(offsetof(AttrRecord, zero) == 56);

struct DirRecordHead {
    unsigned char zero[56];
    std::uint32_t nameLength;     // including the NUL
    std::uint32_t paddingLength;  // 8 - nameLength % 8: 1..8
};
static_assert(sizeof(DirRecordHead) == 64);
static_assert(offsetof(DirRecordHead, nameLength) == 56);
static_assert(offsetof(DirRecordHead, paddingLength) == 60);

// Bytes one DirRecord spans for a name of `nameBytes` bytes (without its NUL).
constexpr std::size_t DirRecordSize(std::size_t nameBytes)
{
    const std::size_t nameLength = nameBytes + 1;
    return sizeof(DirRecordHead) + nameLength + (8 - nameLength % 8);
}
static_assert(DirRecordSize(7) == 80);

// A request taken apart, every piece inside the received packet.
struct Request {
    RequestHeader header;
    ArgBlock args;
    std::string_view path;     // without its NUL
    std::string_view newPath;  // RENAME only
    const unsigned char* data = nullptr;  // WRITE only
    std::size_t dataLength = 0;
};

enum class ParseResult {
    Ok,
    BadMagic,      // protocol errors: the link is reset
    BadOpcode,
    ZeroLength,
    Malformed,     // the request is answered with kErrFailure
};

// Reads the request in `packet`, of which `received` bytes are valid (header included).
// Never reads outside [packet, packet + received) and never past header.length.
ParseResult ParseRequest(const unsigned char* packet, std::size_t received, Request& out);

// Builds request bytes (for the host side and for tests).
std::size_t BuildRequest(unsigned char* buffer, std::size_t capacity, std::uint32_t opcode, std::uint64_t unique,
                         const ArgBlock& args, std::string_view path, std::string_view second = {},
                         const void* data = nullptr, std::size_t dataLength = 0);

// Reply helpers: the header, and a DirRecord appended at `offset` of a payload area of
// `capacity` bytes. AppendDirRecord returns the new offset, or 0 when it does not fit.
void WriteReplyHeader(unsigned char* reply, std::uint32_t opcode, std::uint64_t unique, std::int32_t error,
                      std::uint32_t length);
std::size_t AppendDirRecord(unsigned char* payload, std::size_t capacity, std::size_t offset, std::string_view name);

// Walks the DirRecords of a payload (host side, tests). Calls f(name) for each; false
// when a record runs past `length`.
template <class F>
bool ForEachDirRecord(const unsigned char* payload, std::size_t length, F&& f)
{
    std::size_t at = 0;
    while (at < length) {
        if (length - at < sizeof(DirRecordHead)) {
            return false;
        }
        DirRecordHead head;
        std::memcpy(&head, payload + at, sizeof head);
        const std::size_t span = sizeof head + std::size_t{head.nameLength} + head.paddingLength;
        if (head.nameLength == 0 || span > length - at || payload[at + sizeof head + head.nameLength - 1] != 0) {
            return false;
        }
        f(std::string_view(reinterpret_cast<const char*>(payload + at + sizeof head), head.nameLength - 1));
        at += span;
    }
    return true;
}

}  // namespace quor::fs
