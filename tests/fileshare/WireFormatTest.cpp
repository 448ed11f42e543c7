// Byte layouts of the file-share packets: what the host side builds is what the guest
// side parses, and the reply records are laid out byte-exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileshare/src/WireFormat.h"

using namespace quor::fs;

namespace {

template <class T>
T At(const std::vector<unsigned char>& b, std::size_t offset)
{
    T v {};
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

}  // namespace

TEST(WireFormat, EveryOpcodeBuiltByTheHostParsesOnTheGuest)
{
    struct Case {
        std::uint32_t opcode;
        std::string path;
        std::string second;
        std::string data;
    };
    const Case cases[] = {
        {FUSE_GETATTR, "/s/a", "", ""},     {FUSE_OPEN, "/s/a.txt", "", ""},
        {FUSE_READ, "/s/a", "", ""},        {FUSE_READDIR, "/", "", ""},
        {FUSE_WRITE, "/s/w", "", "hello"},  {FUSE_WRITE, "/s/empty", "", ""},
        {FUSE_RELEASE, "/s/a", "", ""},     {FUSE_RENAME, "/s/old", "/s/new name", ""},
        {FUSE_UNLINK, "/s/x", "", ""},      {FUSE_TRUNCATE, "/s/t", "", ""},
        {FUSE_MKDIR, "/s/d", "", ""},       {FUSE_RMDIR, "/s/d", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opcode);
        ArgBlock args {};
        args.flags = 0x8102;
        args.hostFileHandle = 0x1122334455667788ull;
        args.size = c.data.size();
        args.offset = 0x0102030405060708ull;
        std::vector<unsigned char> b(kBufferSize, 0xEE);
        const std::size_t n = BuildRequest(b.data(), b.size(), c.opcode, 0xCAFEull + c.opcode, args, c.path, c.second,
                                           c.data.data(), c.data.size());
        std::size_t expected = 96 + c.path.size() + 1 + c.data.size();
        if (c.opcode == FUSE_RENAME) {
            expected += c.second.size() + 1;
        }
        ASSERT_EQ(n, expected);
        // The header and argument block at their offsets.
        EXPECT_EQ(At<std::uint32_t>(b, 0), 0x51534647u);
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "GFSQ");
        EXPECT_EQ(At<std::uint32_t>(b, 4), n - 32);
        EXPECT_EQ(At<std::uint32_t>(b, 8), c.opcode);
        EXPECT_EQ(At<std::uint64_t>(b, 16), 0xCAFEull + c.opcode);
        EXPECT_EQ(At<std::uint64_t>(b, 32), 0x8102u);
        EXPECT_EQ(At<std::uint64_t>(b, 40), 0x1122334455667788ull);
        EXPECT_EQ(At<std::uint64_t>(b, 48), c.data.size());
        EXPECT_EQ(At<std::uint64_t>(b, 56), 0x0102030405060708ull);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 96)), c.path);

        Request r;
        ASSERT_EQ(ParseRequest(b.data(), n, r), ParseResult::Ok);
        EXPECT_EQ(r.header.opcode, c.opcode);
        EXPECT_EQ(r.header.unique, 0xCAFEull + c.opcode);
        EXPECT_EQ(r.args.hostFileHandle, args.hostFileHandle);
        EXPECT_EQ(r.args.offset, args.offset);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.newPath, c.second);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data), r.dataLength), c.data);
    }
}

TEST(WireFormat, RequestsOutsideTheirBoundsAreRefused)
{
    std::vector<unsigned char> good(kBufferSize);
    ArgBlock args {};
    args.size = 4;
    const std::size_t n = BuildRequest(good.data(), good.size(), FUSE_WRITE, 1, args, "/s/f", {}, "abcd", 4);

    struct Case {
        const char* name;
        std::size_t offset;        // a u32 or byte to change (SIZE_MAX: none)
        std::uint32_t value;
        bool byte;
        std::size_t received;
        ParseResult expected;
    };
    const std::size_t none = SIZE_MAX;
    const Case cases[] = {
        {"intact", none, 0, false, n, ParseResult::Ok},
        {"bad magic", 0, 0x51534648, false, n, ParseResult::BadMagic},
        {"opcode 0", 8, 0, false, n, ParseResult::BadOpcode},
        {"opcode 12", 8, 12, false, n, ParseResult::BadOpcode},
        {"length 0", 4, 0, false, n, ParseResult::ZeroLength},
        {"shorter than a header", none, 0, false, 31, ParseResult::Malformed},
        {"length beyond what arrived", none, 0, false, n - 1, ParseResult::Malformed},
        {"no room for the argument block", 4, 64, false, n, ParseResult::Malformed},
        {"path without its NUL inside length", 4, 64 + 4, false, n, ParseResult::Malformed},
        {"WRITE data past the payload", 48, 5, false, n, ParseResult::Malformed},
        {"WRITE size with high bits", 52, 1, false, n, ParseResult::Malformed},
        {"path NUL overwritten", 96 + 4, 'x', true, n, ParseResult::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> b(good.begin(), good.begin() + static_cast<long>(n));
        if (c.offset != none) {
            if (c.byte) {
                b[c.offset] = static_cast<unsigned char>(c.value);
            } else {
                std::memcpy(b.data() + c.offset, &c.value, 4);
            }
        }
        Request r;
        // Exactly `received` bytes exist: ASan sees any read past them.
        std::vector<unsigned char> exact(b.begin(), b.begin() + static_cast<long>(std::min(c.received, b.size())));
        EXPECT_EQ(ParseRequest(exact.data(), exact.size(), r), c.expected);
    }
}

TEST(WireFormat, RenameNeedsItsSecondPathInsideThePayload)
{
    std::vector<unsigned char> b(kBufferSize);
    const std::size_t n = BuildRequest(b.data(), b.size(), FUSE_RENAME, 1, ArgBlock{}, "/s/a", "/s/b");
    b.resize(n - 1);  // the second NUL is missing
    std::uint32_t length = static_cast<std::uint32_t>(b.size() - 32);
    std::memcpy(b.data() + 4, &length, 4);
    Request r;
    EXPECT_EQ(ParseRequest(b.data(), b.size(), r), ParseResult::Malformed);
}

TEST(WireFormat, ReplyHeaderAndRecordLayout)
{
    std::vector<unsigned char> b(64, 0xCC);
    WriteReplyHeader(b.data(), FUSE_WRITE, 0x99, -13, 64);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "GFSR");
    EXPECT_EQ(At<std::uint32_t>(b, 4), 64u);
    EXPECT_EQ(At<std::uint32_t>(b, 8), FUSE_WRITE);
    EXPECT_EQ(At<std::int32_t>(b, 12), -13);
    EXPECT_EQ(At<std::uint64_t>(b, 16), 0x99u);
    EXPECT_EQ(b[24], 0xCC);  // nothing behind the header
}

TEST(WireFormat, DirRecordPaddingIsNeverZeroAndZeroed)
{
    // name bytes (without NUL) -> padding and span
    struct Case {
        std::size_t nameBytes;
        std::uint32_t padding;
        std::size_t span;
    };
    const Case cases[] = {{0, 7, 72}, {1, 6, 72}, {2, 5, 72}, {6, 1, 72}, {7, 8, 80}, {8, 7, 80}, {15, 8, 88}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nameBytes);
        std::vector<unsigned char> b(256, 0xCC);
        const std::string name(c.nameBytes, 'n');
        const std::size_t end = AppendDirRecord(b.data(), b.size(), 8, name);
        ASSERT_EQ(end, 8 + c.span);
        EXPECT_EQ(DirRecordSize(c.nameBytes), c.span);
        for (std::size_t i = 8; i < 8 + 56; ++i) {
            ASSERT_EQ(b[i], 0) << i;
        }
        EXPECT_EQ(At<std::uint32_t>(b, 8 + 56), c.nameBytes + 1);
        EXPECT_EQ(At<std::uint32_t>(b, 8 + 60), c.padding);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 8 + 64), c.nameBytes), name);
        for (std::size_t i = 8 + 64 + c.nameBytes; i < end; ++i) {
            ASSERT_EQ(b[i], 0) << "NUL and padding are zero at " << i;
        }
        EXPECT_EQ(b[end], 0xCC);
        // The host-side walker reads back what was written.
        std::vector<std::string> names;
        EXPECT_TRUE(ForEachDirRecord(b.data() + 8, c.span, [&](std::string_view n) { names.emplace_back(n); }));
        EXPECT_EQ(names, std::vector<std::string>{name});
    }
    std::vector<unsigned char> small(79);
    EXPECT_EQ(AppendDirRecord(small.data(), small.size(), 0, "sevenby"), 0u);
}
