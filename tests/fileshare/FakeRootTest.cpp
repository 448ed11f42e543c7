// The virtual root: path resolution (including every way out of a share we could think
// of) and the root listing's records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileshare/src/FakeRoot.h"
#include "fileshare/src/WireFormat.h"
#include "tests/support/TestLog.h"

using namespace quor::fs;

namespace {

class FakeRootTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        quortest::ProcessLogPath();
        shares_.emplace(".", ShareEntry{});
        shares_.emplace("..", ShareEntry{});
        ShareEntry docs;
        docs.isVirtual = true;
        docs.files = {{"a.txt", "C:\\Users\\u\\a.txt"}, {"dir", "C:/tmp/dir"}, {"..", "C:\\odd"}};
        shares_.emplace("docs", docs);
    }
    ShareTable shares_;
};

struct Resolved {
    bool ok;
    std::string share;
    std::string local;
    int isRoot;
    int isFake;
    std::uint32_t below;
};

Resolved ResolvePath(const ShareTable& t, std::string_view path)
{
    Resolved r {};
    std::uint8_t root = 7;
    std::uint8_t fake = 7;
    r.below = 99;
    r.ok = FakeRoot::Resolve(t, path, r.share, r.local, root, fake, r.below);
    r.isRoot = root;
    r.isFake = fake;
    return r;
}

}  // namespace

TEST_F(FakeRootTest, ResolvesRootSharesAndLocalPaths)
{
    struct Case {
        const char* path;
        bool ok;
        const char* share;
        const char* local;
        int isRoot;
        int isFake;
    };
    const Case cases[] = {
        {"/", true, "", "", 1, 1},
        {"/docs", true, "docs", "", 0, 1},
        {"/docs/a.txt", true, "docs", "C:\\Users\\u\\a.txt", 0, 0},
        {"/docs/dir/x/y", true, "docs", "C:\\tmp\\dir\\x\\y", 0, 0},
        {"/docs/dir", true, "docs", "C:\\tmp\\dir", 0, 0},
        {"/docs/dir/file.", true, "docs", "C:\\tmp\\dir\\file.", 0, 0},
        {"/docs/dir/caf\xC3\xA9 .txt", true, "docs", "C:\\tmp\\dir\\caf\xC3\xA9 .txt", 0, 0},
        // An exported entry's own name is what the guest chose, even "..".
        {"/docs/..", true, "docs", "C:\\odd", 0, 0},
        {"/nosuch", false, "", "", 0, 0},
        {"docs/a.txt", false, "", "", 0, 0},
        {"", false, "", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Resolved r = ResolvePath(shares_, c.path);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.isRoot, c.isRoot);
        EXPECT_EQ(r.isFake, c.isFake);
        if (c.ok) {
            EXPECT_EQ(r.share, c.share);
            EXPECT_EQ(r.local, c.local);
        }
    }
}

TEST_F(FakeRootTest, CountsTheComponentsBelowTheExportedEntry)
{
    // The backend checks exactly these components for links; the entry itself is taken
    // as the user gave it.
    struct Case {
        const char* path;
        bool ok;
        std::uint32_t below;
    };
    const Case cases[] = {
        {"/", true, 0},
        {"/docs", true, 0},
        {"/docs/a.txt", true, 0},
        {"/docs/dir", true, 0},
        {"/docs/dir/x", true, 1},
        {"/docs/dir/x/y", true, 2},
        {"/docs/dir/COM\xC2\xB9x/COM10", true, 2},  // not device names
        {"/docs/dir/x/../y", false, 0},
        {"/docs/dir/x/COM\xC2\xB2", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Resolved r = ResolvePath(shares_, c.path);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.below, c.below);
    }
}

TEST_F(FakeRootTest, NothingOutsideTheExportedEntriesResolves)
{
    const char* escapes[] = {
        // the dot entries of the root
        "/.", "/..", "/./docs", "/../docs/a.txt", "/./x", "/../x/y",
        // dot and dot-dot components below an entry, in every position
        "/docs/dir/..", "/docs/dir/../..", "/docs/dir/../../Windows/win.ini", "/docs/dir/.", "/docs/dir/./x",
        "/docs/dir/x/../../..", "/docs/a.txt/..",
        // forms that Windows turns into "..": trailing dots and spaces are dropped
        "/docs/dir/...", "/docs/dir/.. ", "/docs/dir/. .", "/docs/dir/ ..", "/docs/dir/....//x",
        // empty components
        "/docs/dir//x", "/docs/dir/", "/docs/dir/x/", "/docs//a.txt", "/docs/",
        // a backslash separates on Windows
        "/docs/dir/..\\..", "/docs/dir/x\\..\\..\\y", "/docs/dir/\\\\server\\share", "/docs/dir/\\x",
        // drive letters and alternate data streams
        "/docs/dir/C:", "/docs/dir/C:\\Windows", "/docs/dir/x:stream", "/docs/a.txt/x::$DATA",
        "/docs/dir/x::$INDEX_ALLOCATION",
        // wildcards, control characters and device names
        "/docs/dir/*", "/docs/dir/x?", "/docs/dir/a\x01", "/docs/dir/<x>", "/docs/dir/a|b", "/docs/dir/\"q\"",
        "/docs/dir/CON", "/docs/dir/nul.txt", "/docs/dir/COM1", "/docs/dir/lpt9.log", "/docs/dir/AUX ",
        "/docs/dir/CONOUT$",
        // the superscript digits one to three (U+00B9, U+00B2, U+00B3) count as digits
        "/docs/dir/COM\xC2\xB9", "/docs/dir/com\xC2\xB2.txt", "/docs/dir/COM\xC2\xB3 ", "/docs/dir/LPT\xC2\xB9",
        "/docs/dir/lpt\xC2\xB2.log", "/docs/dir/LPT\xC2\xB3", "/docs/dir/COM\xC2\xB9.tar.gz",
        // names that are not exported by the share
        "/docs/zzz", "/docs/A.TXT", "/docs/a.txt.", "/docs/dir2/x",
        // the share name itself with a separator or a drive
        "/docs\\a.txt", "/C:", "//server/share",
    };
    for (const char* path : escapes) {
        SCOPED_TRACE(path);
        const Resolved r = ResolvePath(shares_, path);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.local, "");
    }
}

TEST_F(FakeRootTest, UnknownNameOfAVirtualShareIsLogged)
{
    for (const char* path : {"/docs/", "/docs/zzz"}) {
        quortest::LogTail tail;
        EXPECT_FALSE(ResolvePath(shares_, path).ok);
        EXPECT_TRUE(tail.Contains("Fake name not found.")) << path;
    }
    quortest::LogTail tail;
    EXPECT_FALSE(ResolvePath(shares_, "/nosuch").ok);
    EXPECT_FALSE(tail.Contains("Fake name not found."));
}

namespace {

std::vector<unsigned char> Listing(const std::vector<std::pair<std::string, bool>>& names, std::int32_t& result)
{
    std::vector<unsigned char> reply(kBufferSize, 0xAB);
    WriteReplyHeader(reply.data(), FUSE_READDIR, 1, 0, 0);
    FakeRoot::Listing listing;
    for (const auto& [name, skip] : names) {
        listing.emplace_back(&name, skip);
    }
    result = FakeRoot::ReadDir(listing, reply.data());
    return reply;
}

std::uint32_t LengthOf(const std::vector<unsigned char>& reply)
{
    std::uint32_t n = 0;
    std::memcpy(&n, reply.data() + 4, 4);
    return n;
}

}  // namespace

TEST(FakeRootListing, DotEntriesAndHiddenShares)
{
    std::int32_t r = 1;
    const auto reply = Listing({{".", false}, {"hidden1", true}, {"..", false}, {"hidden2", true}}, r);
    EXPECT_EQ(r, 0);
    ASSERT_EQ(LengthOf(reply), 144u);
    // ".": name length 2, padding 6; "..": 3 and 5; 72 bytes each, every byte but the
    // name and the two lengths zero.
    std::vector<unsigned char> expected(144, 0);
    const std::uint32_t heads[2][2] = {{2, 6}, {3, 5}};
    for (int i = 0; i < 2; ++i) {
        std::memcpy(expected.data() + 72 * i + 56, &heads[i][0], 4);
        std::memcpy(expected.data() + 72 * i + 60, &heads[i][1], 4);
        std::memset(expected.data() + 72 * i + 64, '.', static_cast<std::size_t>(i + 1));
    }
    EXPECT_EQ(std::vector<unsigned char>(reply.begin() + 24, reply.begin() + 24 + 144), expected);
}

TEST(FakeRootListing, TooLargeListingsAndNames)
{
    {
        // 600 names of 4000 bytes pass 2 MiB: nothing is listed, not a part.
        std::vector<std::pair<std::string, bool>> names;
        for (int i = 0; i < 600; ++i) {
            names.emplace_back(std::to_string(i) + std::string(4000, 'b'), false);
        }
        quortest::LogTail tail;
        std::int32_t r = 0;
        const auto reply = Listing(names, r);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(LengthOf(reply), 0u);
        EXPECT_TRUE(tail.Contains("Fake ReadDir reply buffer too small: 2097152"));
    }
    {
        quortest::LogTail tail;
        std::int32_t r = 1;
        const auto reply = Listing({{"first", false}, {std::string(4096, 'x'), false}, {"third", false}}, r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(LengthOf(reply), DirRecordSize(5));
        EXPECT_TRUE(tail.Contains("Execution of memcpy_s fails with error: 34"));
    }
    {
        std::int32_t r = 1;
        const auto reply = Listing({{std::string(4095, 'x'), false}}, r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(LengthOf(reply), DirRecordSize(4095));
    }
}
