// The server's request handling over the local backend, on a real folder: the win32
// backend under Wine, the simulated one on Linux. Requests go straight to HandleRequest
// (no port, no READ worker).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "fileshare/src/FuseServer.h"
#include "tests/support/LinkCheck.h"
#include "tests/fileshare/support/DirectClient.h"
#include "tests/fileshare/support/FsSandbox.h"

using namespace quor::fs;
using fstest::DirectClient;
using fstest::Reply;

namespace {

class Backend : public ::testing::Test {
protected:
    void SetUp() override
    {
        quortest::ProcessLogPath();
        sb_.WriteFile("rw/f.txt", "0123456789");
        sb_.WriteFile("rw/dir/one", "1");
        sb_.WriteFile("rw/dir/two", "22");
        std::filesystem::create_directories(sb_.Host("rw/dir/empty"));
        sb_.WriteFile("ro/r.txt", "read only share");
        sb_.WriteFile("ro/rdir/inner", "x");
        std::filesystem::create_directories(sb_.Host("ro/rdir/sub"));
        sb_.WriteFile("secret.txt", "outside every share");
        ASSERT_TRUE(server_.AddShareName(
            "rw", {{"f.txt", sb_.Local("rw/f.txt")}, {"dir", sb_.Local("rw/dir")}, {"new", sb_.Local("rw/new")}}, 0,
            false, false));
        ASSERT_TRUE(
            server_.AddShareName("ro", {{"r.txt", sb_.Local("ro/r.txt")}, {"rdir", sb_.Local("ro/rdir")}}, 0, true, true));
    }

    std::vector<std::string> Names(const Reply& r)
    {
        std::vector<std::string> names;
        EXPECT_TRUE(ForEachDirRecord(r.payload.data(), r.payload.size(),
                                     [&](std::string_view n) { names.emplace_back(n); }));
        return names;
    }
    std::string Text(const std::string& rel)
    {
        const auto b = sb_.ReadFile(rel);
        return std::string(b.begin(), b.end());
    }

    fstest::FsSandbox sb_;
    FuseServer server_;
    DirectClient c_{server_};
};

template <class T>
T At(const std::vector<unsigned char>& b, std::size_t offset)
{
    T v {};
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

}  // namespace

TEST_F(Backend, AttributesOfRootSharesFilesAndFolders)
{
    struct Case {
        const char* path;
        std::int32_t error;
        std::uint64_t typeBits;
        std::uint64_t size;  // UINT64_MAX: not checked
    };
    const Case cases[] = {
        {"/", 0, 0x4000, 4096},          {"/rw", 0, 0x4000, 4096},     {"/rw/f.txt", 0, 0x8000, 10},
        {"/rw/dir", 0, 0x4000, UINT64_MAX}, {"/rw/dir/two", 0, 0x8000, 2}, {"/rw/dir/missing", -1, 0, 0},
        {"/rw/nope", -2, 0, 0},          {"/nosuch", -2, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.path);
        const Reply r = c_.Call(FUSE_GETATTR, k.path);
        EXPECT_EQ(r.error(), k.error);
        EXPECT_EQ(r.header.magic, kReplyMagic);
        EXPECT_EQ(r.header.unique, c_.LastUnique());
        if (k.error == 0) {
            ASSERT_EQ(r.payload.size(), 64u);
            EXPECT_EQ(At<std::uint64_t>(r.payload, 0) & 0xF000, k.typeBits);
            if (k.size != UINT64_MAX) {
                EXPECT_EQ(At<std::uint64_t>(r.payload, 16), k.size);
            }
        }
    }
    const Reply root = c_.Call(FUSE_GETATTR, "/");
    EXPECT_EQ(At<std::uint64_t>(root.payload, 0), 0x41EDu);
}

TEST_F(Backend, RootListingLeavesHiddenSharesOutAndShareListingsShowTheirNames)
{
    auto root = Names(c_.Call(FUSE_READDIR, "/"));
    std::sort(root.begin(), root.end());
    EXPECT_EQ(root, (std::vector<std::string>{".", "..", "rw"}));
    auto share = Names(c_.Call(FUSE_READDIR, "/ro"));
    std::sort(share.begin(), share.end());
    EXPECT_EQ(share, (std::vector<std::string>{"r.txt", "rdir"}));
    // A local folder: "." and ".." as Windows reports them, then its entries.
    EXPECT_EQ(Names(c_.Call(FUSE_READDIR, "/rw/dir")), (std::vector<std::string>{".", "..", "empty", "one", "two"}));
    EXPECT_EQ(Names(c_.Call(FUSE_READDIR, "/rw/dir/empty")), (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(c_.Call(FUSE_READDIR, "/rw/f.txt").error(), -1);
    EXPECT_EQ(c_.Call(FUSE_READDIR, "/rw/dir/none").error(), -1);
}

TEST_F(Backend, ReadOnlyShareRefusesEveryChange)
{
    const std::uint64_t h = 77;
    struct Case {
        const char* what;
        std::uint32_t opcode;
        const char* path;
        std::uint64_t flags;
        const char* second;
        std::int32_t error;
    };
    const Case cases[] = {
        {"open to read", FUSE_OPEN, "/ro/r.txt", kOpenBinary, "", 0},
        {"open write-only", FUSE_OPEN, "/ro/r.txt", kOpenBinary | kOpenWriteOnly, "", -13},
        {"open read-write", FUSE_OPEN, "/ro/r.txt", kOpenBinary | kOpenReadWrite, "", -13},
        {"open append", FUSE_OPEN, "/ro/r.txt", kOpenBinary | kOpenAppend, "", -13},
        {"open truncate", FUSE_OPEN, "/ro/r.txt", kOpenBinary | kOpenTruncate, "", -13},
        {"open create", FUSE_OPEN, "/ro/rdir/created", kOpenBinary | kOpenCreate, "", -13},
        {"open exclusive create", FUSE_OPEN, "/ro/rdir/excl", kOpenCreate | kOpenExclusive, "", -13},
        {"open delete-on-close", FUSE_OPEN, "/ro/r.txt", kOpenBinary | 0x40, "", -13},
        {"write", FUSE_WRITE, "/ro/r.txt", 0, "", -13},
        {"rename", FUSE_RENAME, "/ro/r.txt", 0, "/ro/rdir/moved", -13},
        {"unlink", FUSE_UNLINK, "/ro/r.txt", 0, "", -13},
        {"truncate", FUSE_TRUNCATE, "/ro/r.txt", 0, "", -13},
        {"mkdir", FUSE_MKDIR, "/ro/rdir/newdir", 0, "", -13},
        {"rmdir", FUSE_RMDIR, "/ro/rdir/sub", 0, "", -13},
        {"getattr", FUSE_GETATTR, "/ro/r.txt", 0, "", 0},
        {"readdir", FUSE_READDIR, "/ro/rdir", 0, "", 0},
        {"release", FUSE_RELEASE, "/ro/r.txt", 0, "", 0},
    };
    std::uint64_t other = 100;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const std::vector<unsigned char> data = {'X', 'Y'};
        // The file opened for reading is released at the end; every other open has a handle of its own.
        const std::uint64_t handle = k.error == 0 ? h : ++other;
        const Reply r = c_.Call(k.opcode, k.path, DirectClient::Args(handle, k.flags, k.opcode == FUSE_WRITE ? 2 : 0),
                                k.second, k.opcode == FUSE_WRITE ? data : std::vector<unsigned char>{});
        EXPECT_EQ(r.error(), k.error);
    }
    // Nothing changed on disk.
    EXPECT_EQ(Text("ro/r.txt"), "read only share");
    EXPECT_TRUE(std::filesystem::exists(sb_.Host("ro/rdir/sub")));
    for (const char* p : {"ro/rdir/created", "ro/rdir/excl", "ro/rdir/moved", "ro/rdir/newdir"}) {
        EXPECT_FALSE(std::filesystem::exists(sb_.Host(p))) << p;
    }
}

TEST_F(Backend, WritableShareChanges)
{
    const std::uint64_t h = 5;
    const auto create = kOpenBinary | kOpenReadWrite | kOpenCreate;
    EXPECT_EQ(c_.Call(FUSE_OPEN, "/rw/dir/made", DirectClient::Args(h, create)).error(), 0);
    // The same path and handle again: refused, the first descriptor kept.
    EXPECT_EQ(c_.Call(FUSE_OPEN, "/rw/dir/made", DirectClient::Args(h, create)).error(), -1);
    EXPECT_EQ(c_.Call(FUSE_OPEN, "/rw/dir/made", DirectClient::Args(h + 1, kOpenBinary)).error(), 0);

    struct WriteCase {
        std::uint64_t handle;
        std::uint64_t offset;
        std::string data;
        std::int32_t error;
        std::uint64_t written;
    };
    const WriteCase writes[] = {
        {h, 0, "hello world", 0, 11}, {h, 6, "WORLD", 0, 5}, {h, 11, "", 0, 0}, {h, 13, "!", 0, 1}, {999, 0, "x", -1, 0},
    };
    for (const WriteCase& w : writes) {
        SCOPED_TRACE(w.data);
        const Reply r = c_.Call(FUSE_WRITE, "/rw/dir/made", DirectClient::Args(w.handle, 0, w.data.size(), w.offset),
                                "", std::vector<unsigned char>(w.data.begin(), w.data.end()));
        EXPECT_EQ(r.error(), w.error);
        ASSERT_EQ(r.payload.size(), 64u);  // also when the write failed
        EXPECT_EQ(At<std::int64_t>(r.payload, 16), static_cast<std::int64_t>(w.written));
    }
    EXPECT_EQ(c_.Call(FUSE_RELEASE, "/rw/dir/made", DirectClient::Args(h)).error(), 0);
    EXPECT_EQ(c_.Call(FUSE_RELEASE, "/rw/dir/made", DirectClient::Args(h)).error(), -1);
    EXPECT_EQ(c_.Call(FUSE_RELEASE, "/rw/dir/made", DirectClient::Args(h + 1)).error(), 0);
    EXPECT_EQ(sb_.ReadFile("rw/dir/made"), (std::vector<unsigned char>{'h', 'e', 'l', 'l', 'o', ' ', 'W', 'O', 'R', 'L',
                                                                         'D', 0, 0, '!'}));

    // TRUNCATE both ways; beyond the end it fills with zeros.
    EXPECT_EQ(c_.Call(FUSE_TRUNCATE, "/rw/f.txt", DirectClient::Args(0, 0, 0, 4)).error(), 0);
    EXPECT_EQ(Text("rw/f.txt"), "0123");
    EXPECT_EQ(c_.Call(FUSE_TRUNCATE, "/rw/f.txt", DirectClient::Args(0, 0, 0, 6)).error(), 0);
    EXPECT_EQ(sb_.ReadFile("rw/f.txt"), (std::vector<unsigned char>{'0', '1', '2', '3', 0, 0}));
    EXPECT_EQ(c_.Call(FUSE_TRUNCATE, "/rw/dir/none", DirectClient::Args(0, 0, 0, 1)).error(), -2);

    struct Case {
        std::uint32_t opcode;
        const char* path;
        const char* second;
        std::int32_t error;
    };
    const Case cases[] = {
        {FUSE_MKDIR, "/rw/dir/d1", "", 0},
        {FUSE_MKDIR, "/rw/dir/d1", "", -17},           // EEXIST
        {FUSE_MKDIR, "/rw/dir/no/such", "", -2},       // ENOENT
        {FUSE_RMDIR, "/rw/dir/d1", "", 0},
        {FUSE_RMDIR, "/rw/dir/d1", "", -2},
        {FUSE_RENAME, "/rw/dir/one", "/rw/dir/uno", 0},
        {FUSE_RENAME, "/rw/dir/uno", "/rw/dir/two", -1},  // the target exists
        {FUSE_RENAME, "/rw/dir/gone", "/rw/dir/x", -1},
        {FUSE_RENAME, "/rw/dir/uno", "/", -13},            // the root is not a real path
        {FUSE_RENAME, "/rw/dir/uno", "/ro", -13},          // nor is a virtual share
        {FUSE_RENAME, "/rw/dir/uno", "/rw/dir/../x", -13},  // a target that does not resolve
        {FUSE_RENAME, "/rw/dir/uno", "/ro/rdir/into-ro", -13},  // nothing moves into a read-only share
        {FUSE_RENAME, "/rw/dir/uno", "/ro/r.txt", -13},
        {FUSE_UNLINK, "/rw/dir/two", "", 0},
        {FUSE_UNLINK, "/rw/dir/two", "", -2},
        {FUSE_RMDIR, "/rw/dir", "", -41},  // ENOTEMPTY
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.path) + " " + k.second + " op " + std::to_string(k.opcode));
        EXPECT_EQ(c_.Call(k.opcode, k.path, ArgBlock{}, k.second).error(), k.error);
    }
    EXPECT_FALSE(std::filesystem::exists(sb_.Host("ro/rdir/into-ro")));
    EXPECT_EQ(Text("rw/dir/uno"), "1");
    EXPECT_EQ(Text("ro/r.txt"), "read only share");
    EXPECT_FALSE(std::filesystem::exists(sb_.Host("rw/dir/two")));

    // A file with the read-only attribute cannot be deleted.
    sb_.WriteFile("rw/dir/locked", "l");
    sb_.SetReadOnly("rw/dir/locked", true);
    EXPECT_EQ(c_.Call(FUSE_UNLINK, "/rw/dir/locked").error(), -13);
    EXPECT_TRUE(std::filesystem::exists(sb_.Host("rw/dir/locked")));
    sb_.SetReadOnly("rw/dir/locked", false);
    // A folder is not a file to delete.
    EXPECT_EQ(c_.Call(FUSE_UNLINK, "/rw/dir/empty").error(), -13);
}

// Local paths longer than MAX_PATH (260 characters): every operation reaches them. The
// folders are made through the server itself.
TEST_F(Backend, PathsBeyondMaxPathAreServed)
{
    std::filesystem::create_directories(sb_.Host("rw/deep"));
    ASSERT_TRUE(server_.AddShareName("deep", {{"d", sb_.Local("rw/deep")}}, 0, false, false));
    const std::string part(60, 'p');
    std::string dir = "/deep/d";
    std::size_t localLength = sb_.Local("rw/deep").size();
    while (localLength < 300) {
        dir += "/" + part;
        localLength += 1 + part.size();
        ASSERT_EQ(c_.Call(FUSE_MKDIR, dir.c_str()).error(), 0) << localLength;
    }
    const std::string file = dir + "/f.txt";
    const std::uint64_t h = 9;
    ASSERT_EQ(c_.Call(FUSE_OPEN, file.c_str(), DirectClient::Args(h, kOpenBinary | kOpenReadWrite | kOpenCreate)).error(), 0);
    const std::string data = "long";
    const Reply w = c_.Call(FUSE_WRITE, file.c_str(), DirectClient::Args(h, 0, data.size(), 0), "",
                            std::vector<unsigned char>(data.begin(), data.end()));
    EXPECT_EQ(w.error(), 0);
    EXPECT_EQ(At<std::int64_t>(w.payload, 16), 4);
    EXPECT_EQ(c_.Call(FUSE_RELEASE, file.c_str(), DirectClient::Args(h)).error(), 0);
    const Reply attr = c_.Call(FUSE_GETATTR, file.c_str());
    ASSERT_EQ(attr.error(), 0);
    EXPECT_EQ(At<std::uint64_t>(attr.payload, 0) & 0xF180, 0x8180u);  // a file, readable and writable
    EXPECT_EQ(At<std::uint64_t>(attr.payload, 16), 4u);
    const Reply dirAttr = c_.Call(FUSE_GETATTR, dir.c_str());
    ASSERT_EQ(dirAttr.error(), 0);
    EXPECT_EQ(At<std::uint64_t>(dirAttr.payload, 0) & 0xF000, 0x4000u);
    EXPECT_EQ(Names(c_.Call(FUSE_READDIR, dir.c_str())), (std::vector<std::string>{".", "..", "f.txt"}));
    EXPECT_EQ(c_.Call(FUSE_TRUNCATE, file.c_str(), DirectClient::Args(0, 0, 0, 2)).error(), 0);
    EXPECT_EQ(At<std::uint64_t>(c_.Call(FUSE_GETATTR, file.c_str()).payload, 16), 2u);
    const std::string moved = dir + "/g.txt";
    EXPECT_EQ(c_.Call(FUSE_RENAME, file.c_str(), ArgBlock{}, moved.c_str()).error(), 0);
    EXPECT_EQ(c_.Call(FUSE_GETATTR, file.c_str()).error(), -1);
    EXPECT_EQ(c_.Call(FUSE_UNLINK, moved.c_str()).error(), 0);
    EXPECT_EQ(c_.Call(FUSE_RMDIR, dir.c_str()).error(), 0);
    EXPECT_EQ(c_.Call(FUSE_GETATTR, dir.c_str()).error(), -1);
}

TEST_F(Backend, EscapingPathsReachNothingWhateverTheOpcode)
{
    const char* escapes[] = {
        "/rw/dir/../../secret.txt", "/rw/dir/..\\..\\secret.txt", "/rw/dir/.. /.. /secret.txt",
        "/rw/dir/.../secret.txt",   "/./secret.txt",              "/../fsroot/secret.txt",
        "/rw/dir/C:\\secret.txt",   "/rw/f.txt/..",               "/rw/dir/one:stream",
        "/rw/dir//secret.txt",      "/rw/dir/*",                  "/..",
    };
    const std::uint32_t opcodes[] = {FUSE_GETATTR, FUSE_OPEN,   FUSE_READDIR, FUSE_WRITE, FUSE_RELEASE, FUSE_RENAME,
                                     FUSE_UNLINK,  FUSE_TRUNCATE, FUSE_MKDIR, FUSE_RMDIR};
    for (const char* path : escapes) {
        for (const std::uint32_t op : opcodes) {
            SCOPED_TRACE(std::string(path) + " op " + std::to_string(op));
            quortest::LogTail tail;
            const std::vector<unsigned char> data = {'!'};
            const Reply r =
                c_.Call(op, path, DirectClient::Args(3, kOpenReadWrite | kOpenTruncate, op == FUSE_WRITE ? 1 : 0),
                        "/rw/dir/moved", op == FUSE_WRITE ? data : std::vector<unsigned char>{});
            EXPECT_EQ(r.error(), -2);
            EXPECT_TRUE(tail.Contains("Wrong request path"));
        }
        // And as the target of a rename.
        EXPECT_EQ(c_.Call(FUSE_RENAME, "/rw/dir/one", ArgBlock{}, path).error(), -13) << path;
    }
    EXPECT_EQ(Text("secret.txt"), "outside every share");
    EXPECT_EQ(Text("rw/dir/one"), "1");
}

TEST_F(Backend, ReplyBytesNotWrittenByAnOperationAreZero)
{
    // Fill the reused reply buffer with a long listing of names made of 'Z's first.
    std::unordered_map<std::string, std::string> many;
    for (int i = 0; i < 40; ++i) {
        many.emplace(std::string(200, 'Z') + std::to_string(i), sb_.Local("rw/f.txt"));
    }
    ASSERT_TRUE(server_.AddShareName("many", many, 0, false, false));
    std::vector<unsigned char>& buffer = c_.ReplyBuffer();
    std::fill(buffer.begin(), buffer.end(), 0x5A);
    ASSERT_EQ(c_.Call(FUSE_READDIR, "/many").error(), 0);

    ASSERT_EQ(c_.Call(FUSE_OPEN, "/rw/f.txt", DirectClient::Args(1, kOpenReadWrite)).error(), 0);
    struct Case {
        const char* what;
        std::uint32_t opcode;
        const char* path;
        std::uint64_t handle;
        std::vector<std::pair<std::size_t, std::size_t>> written;  // payload ranges the reply may fill
    };
    const std::vector<unsigned char> two = {'a', 'b'};
    const Case cases[] = {
        {"file attributes", FUSE_GETATTR, "/rw/f.txt", 0, {{0, 8}, {16, 24}, {32, 56}}},
        {"virtual directory attributes", FUSE_GETATTR, "/rw", 0, {{0, 8}, {16, 24}}},
        {"failed attributes", FUSE_GETATTR, "/rw/dir/missing", 0, {}},
        {"write", FUSE_WRITE, "/rw/f.txt", 1, {{16, 24}}},
        {"write to an unknown handle", FUSE_WRITE, "/rw/f.txt", 2, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Reply r = c_.Call(k.opcode, k.path, DirectClient::Args(k.handle, 0, k.opcode == FUSE_WRITE ? 2 : 0), "",
                                k.opcode == FUSE_WRITE ? two : std::vector<unsigned char>{});
        ASSERT_EQ(r.payload.size(), 64u);
        for (std::size_t i = 0; i < 64; ++i) {
            const bool mayWrite = std::any_of(k.written.begin(), k.written.end(),
                                              [i](const auto& range) { return i >= range.first && i < range.second; });
            if (!mayWrite) {
                ASSERT_EQ(r.payload[i], 0) << "payload byte " << i;
            }
        }
    }
    // Records of a local listing: heads, NULs and padding all zero.
    const Reply list = c_.Call(FUSE_READDIR, "/rw/dir");
    std::size_t at = 0;
    while (at < list.payload.size()) {
        for (std::size_t i = 0; i < 56; ++i) {
            ASSERT_EQ(list.payload[at + i], 0);
        }
        const auto nameLength = At<std::uint32_t>(list.payload, at + 56);
        const auto padding = At<std::uint32_t>(list.payload, at + 60);
        for (std::size_t i = 0; i < padding + 1; ++i) {
            ASSERT_EQ(list.payload[at + 64 + nameLength - 1 + i], 0);
        }
        at += 64 + nameLength + padding;
    }
    EXPECT_EQ(at, list.payload.size());
}

TEST_F(Backend, RequestsAreReadOnlyWithinTheirLength)
{
    std::vector<unsigned char> full(kBufferSize);
    const std::string path = "/rw/dir/made-by-malformed";
    const std::size_t n = BuildRequest(full.data(), full.size(), FUSE_MKDIR, 42, ArgBlock{}, path);
    struct Case {
        const char* what;
        std::uint32_t length;   // header length field
        std::size_t received;   // bytes that exist
    };
    const auto whole = static_cast<std::uint32_t>(n - 32);
    const Case cases[] = {
        {"payload shorter than the argument block", 40, 72},
        {"path cut before its NUL", whole - 1, n - 1},
        {"length beyond the bytes received", whole + 100, n},
        {"only a header", whole, 32},
        {"less than a header", whole, 20},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<unsigned char> exact(full.begin(), full.begin() + static_cast<long>(k.received));
        std::memcpy(exact.data() + 4, &k.length, std::min<std::size_t>(4, exact.size() - 4));
        quortest::LogTail tail;
        const Reply r = c_.Raw(exact.data(), exact.size());
        EXPECT_EQ(r.error(), -1);
        EXPECT_EQ(r.header.length, 0u);
        EXPECT_TRUE(tail.Contains("Malformed request"));
        EXPECT_FALSE(std::filesystem::exists(sb_.Host("rw/dir/made-by-malformed")));
    }
    // WRITE data that runs past the payload is refused, the file untouched.
    ASSERT_EQ(c_.Call(FUSE_OPEN, "/rw/f.txt", DirectClient::Args(1, kOpenReadWrite)).error(), 0);
    const std::size_t w = BuildRequest(full.data(), full.size(), FUSE_WRITE, 43, DirectClient::Args(1, 0, 3), "/rw/f.txt",
                                       {}, "abc", 3);
    const std::uint64_t claimed = 1000;
    std::memcpy(full.data() + 48, &claimed, 8);
    std::vector<unsigned char> exact(full.begin(), full.begin() + static_cast<long>(w));
    EXPECT_EQ(c_.Raw(exact.data(), exact.size()).error(), -1);
    EXPECT_EQ(Text("rw/f.txt"), "0123456789");
}

TEST_F(Backend, ShareTableAndAccessTimes)
{
    quortest::LogTail tail;
    EXPECT_FALSE(server_.AddShareName("rw", {}, 5, false, false));
    EXPECT_TRUE(tail.Contains("Cannot file list with share name rw, name is already in use."));
    std::int64_t t = -1;
    ASSERT_TRUE(server_.GetShareAccessTime("rw", t));
    EXPECT_EQ(t, 0);  // the old entry stays

    // Requests through a share stamp it, its own directory included; the root stamps nothing.
    for (const char* path : {"/rw", "/rw/f.txt"}) {
        ASSERT_TRUE(server_.AddShareName("stamp", {{"f.txt", sb_.Local("rw/f.txt")}}, 0, false, false));
        c_.Call(FUSE_GETATTR, std::string(path) == "/rw" ? "/stamp" : "/stamp/f.txt");
        ASSERT_TRUE(server_.GetShareAccessTime("stamp", t));
        EXPECT_GT(t, 1600000000) << path;
        EXPECT_EQ(server_.RemoveShareName("stamp", false), 0);
    }
    c_.Call(FUSE_READDIR, "/");
    ASSERT_TRUE(server_.GetShareAccessTime("ro", t));
    EXPECT_EQ(t, 0);

    // A hidden share with open files stays unless forced; forcing closes them.
    ASSERT_EQ(c_.Call(FUSE_OPEN, "/ro/r.txt", DirectClient::Args(8, kOpenBinary)).error(), 0);
    EXPECT_EQ(server_.RemoveShareName("ro", false), 1);
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/ro/r.txt").error(), 0);
    EXPECT_EQ(server_.RemoveShareName("ro", true), 0);
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/ro/r.txt").error(), -2);
    // A visible share is removed even with open files.
    ASSERT_EQ(c_.Call(FUSE_OPEN, "/rw/f.txt", DirectClient::Args(8, kOpenBinary)).error(), 0);
    EXPECT_EQ(server_.RemoveShareName("rw", false), 0);

    quortest::LogTail tail2;
    EXPECT_EQ(server_.RemoveShareName("nosuch", true), 2);
    EXPECT_FALSE(server_.GetShareAccessTime("nosuch", t));
    EXPECT_TRUE(tail2.Contains("Cannot remove share name nosuch, name doesn't exist."));
    EXPECT_TRUE(tail2.Contains("Cannot get access time of share name nosuch, name doesn't exist."));
    // The dot entries go like any other; then the root lists none.
    EXPECT_EQ(server_.RemoveShareName(".", false), 0);
    EXPECT_EQ(server_.RemoveShareName("..", false), 0);
    EXPECT_EQ(Names(c_.Call(FUSE_READDIR, "/")), std::vector<std::string>{});
}

TEST_F(Backend, FakePathsAnswerOnlyAttributesOpenAndListings)
{
    EXPECT_EQ(c_.Call(FUSE_OPEN, "/rw").error(), 0);
    for (const std::uint32_t op : {FUSE_WRITE, FUSE_RELEASE, FUSE_UNLINK, FUSE_TRUNCATE, FUSE_MKDIR, FUSE_RMDIR}) {
        quortest::LogTail tail;
        EXPECT_EQ(c_.Call(op, "/").error(), -1) << op;
        EXPECT_TRUE(tail.Contains("Unknown request opcode " + std::to_string(op)));
    }
    EXPECT_EQ(c_.Call(FUSE_RENAME, "/rw", ArgBlock{}, "/x").error(), -1);
}

TEST_F(Backend, LogLinesNeverCarryFileNames)
{
    quortest::LogTail tail;
    c_.Call(FUSE_GETATTR, "/rw/dir/missing-name-xyz");
    c_.Call(FUSE_OPEN, "/rw/dir/missing-name-xyz", DirectClient::Args(1, kOpenBinary));
    c_.Call(FUSE_UNLINK, "/rw/dir/missing-name-xyz");
    c_.Call(FUSE_MKDIR, "/rw/dir/missing-name-xyz/sub");
    const std::string log = tail.Since();
    EXPECT_NE(log.find("<HIDDEN-DATA>"), std::string::npos);
    EXPECT_EQ(log.find("missing-name-xyz"), std::string::npos);
    EXPECT_EQ(log.find("fsroot"), std::string::npos);
}

namespace {

using LinkKind = fstest::FsSandbox::LinkKind;

// One link placed in the writable share's folder rw/dir.
struct LinkCase {
    const char* name;
    LinkKind kind;
    const char* target;  // sandbox-relative; "" for the machine's root
    bool relative;
};

// Every request that could lead through a link, with the answer it must get. "L" is
// the link's name.
struct LinkRequest {
    const char* what;
    std::uint32_t opcode;
    const char* path;
    std::uint64_t flags;
    const char* second;
    std::int32_t error;
    bool dirOnly;  // only for links to folders
};

std::string WithLink(const char* pattern, const std::string& link)
{
    std::string s(pattern);
    const auto at = s.find("L");
    return at == std::string::npos ? s : s.replace(at, 1, link);
}

}  // namespace

TEST_F(Backend, NoRequestLeadsThroughALinkBelowAnExportedEntry)
{
    sb_.WriteFile("out/inner.txt", "outside");
    std::filesystem::create_directories(sb_.Host("out/sub"));
    sb_.WriteFile("ro/rdir/inner.txt", "inside the read-only share");
    const LinkCase links[] = {
        {"flink-abs", LinkKind::File, "secret.txt", false},
        {"flink-rel", LinkKind::File, "secret.txt", true},
        {"dangling", LinkKind::File, "out/not-yet", false},
        {"dlink-abs", LinkKind::Directory, "out", false},
        {"dlink-rel", LinkKind::Directory, "out", true},
        {"sibling", LinkKind::Directory, "ro/rdir", true},
        {"root", LinkKind::Directory, "", false},
        {"chain", LinkKind::Directory, "rw/dir/chain-next", true},
        {"junction", LinkKind::Junction, "out", false},
    };
    const LinkRequest requests[] = {
        {"attributes of the link", FUSE_GETATTR, "/rw/dir/L", 0, "", -2, false},
        {"open the link", FUSE_OPEN, "/rw/dir/L", kOpenBinary, "", -2, false},
        {"create through the link", FUSE_OPEN, "/rw/dir/L", kOpenBinary | kOpenReadWrite | kOpenCreate, "", -2, false},
        {"truncate the link", FUSE_TRUNCATE, "/rw/dir/L", 0, "", -2, false},
        {"unlink the link", FUSE_UNLINK, "/rw/dir/L", 0, "", -2, false},
        {"rename the link", FUSE_RENAME, "/rw/dir/L", 0, "/rw/dir/moved-link", -2, false},
        {"rename onto the link", FUSE_RENAME, "/rw/dir/one", 0, "/rw/dir/L", -13, false},
        {"list the link", FUSE_READDIR, "/rw/dir/L", 0, "", -2, true},
        {"attributes inside", FUSE_GETATTR, "/rw/dir/L/inner.txt", 0, "", -2, true},
        {"open inside", FUSE_OPEN, "/rw/dir/L/inner.txt", kOpenBinary, "", -2, true},
        {"write-open inside", FUSE_OPEN, "/rw/dir/L/inner.txt", kOpenBinary | kOpenReadWrite, "", -2, true},
        {"create inside", FUSE_OPEN, "/rw/dir/L/made", kOpenBinary | kOpenReadWrite | kOpenCreate, "", -2, true},
        {"truncate inside", FUSE_TRUNCATE, "/rw/dir/L/inner.txt", 0, "", -2, true},
        {"unlink inside", FUSE_UNLINK, "/rw/dir/L/inner.txt", 0, "", -2, true},
        {"mkdir inside", FUSE_MKDIR, "/rw/dir/L/newdir", 0, "", -2, true},
        {"rmdir inside", FUSE_RMDIR, "/rw/dir/L/sub", 0, "", -2, true},
        {"list inside", FUSE_READDIR, "/rw/dir/L/sub", 0, "", -2, true},
        {"rename out of it", FUSE_RENAME, "/rw/dir/L/inner.txt", 0, "/rw/dir/taken", -2, true},
        {"rename into it", FUSE_RENAME, "/rw/dir/one", 0, "/rw/dir/L/one", -13, true},
    };
    std::vector<std::string> made;
    std::vector<std::string> refused;
    // "chain" leads to "chain-next", a link in the same folder, which leads out.
    (void)sb_.MakeLink("rw/dir/chain-next", sb_.Host("out"), LinkKind::Directory, true);
    for (const LinkCase& l : links) {
        const auto target = std::string(l.target).empty() ? fstest::FsSandbox::MachineRoot() : sb_.Host(l.target);
        (sb_.MakeLink("rw/dir/" + std::string(l.name), target, l.kind, l.relative) ? made : refused).push_back(l.name);
    }
    if (made.empty()) {
        GTEST_SKIP() << "this platform makes no links";
    }
    for (const std::string& r : refused) {
        std::cout << "[ NOTE     ] the platform could not make the link " << r << "\n";
    }
    // A listing shows the links' names.
    const auto names = Names(c_.Call(FUSE_READDIR, "/rw/dir"));
    for (const std::string& m : made) {
        EXPECT_NE(std::find(names.begin(), names.end(), m), names.end()) << m;
    }
    std::uint64_t handle = 1000;
    for (const LinkCase& l : links) {
        if (std::find(made.begin(), made.end(), l.name) == made.end()) {
            continue;
        }
        for (const LinkRequest& q : requests) {
            if (q.dirOnly && l.kind == LinkKind::File) {
                continue;
            }
            const std::string path = WithLink(q.path, l.name);
            const std::string second = WithLink(q.second, l.name);
            SCOPED_TRACE(std::string(l.name) + ": " + q.what);
            quortest::LogTail tail;
            const Reply r = c_.Call(q.opcode, path, DirectClient::Args(++handle, q.flags), second);
            EXPECT_EQ(r.error(), q.error);
            EXPECT_TRUE(tail.Contains("Path <HIDDEN-DATA> leads through a link."));
        }
    }
    // Nothing outside the share, nor in the read-only share, changed.
    EXPECT_EQ(Text("secret.txt"), "outside every share");
    EXPECT_EQ(Text("out/inner.txt"), "outside");
    EXPECT_EQ(Text("ro/rdir/inner.txt"), "inside the read-only share");
    EXPECT_EQ(Text("rw/dir/one"), "1");
    for (const char* p : {"out/not-yet", "out/made", "out/newdir", "ro/rdir/made", "ro/rdir/newdir", "rw/dir/taken"}) {
        EXPECT_FALSE(std::filesystem::exists(sb_.Host(p))) << p;
    }
    EXPECT_TRUE(std::filesystem::exists(sb_.Host("out/sub")));
    EXPECT_TRUE(std::filesystem::exists(sb_.Host("ro/rdir/sub")));
}

TEST_F(Backend, ALinkReplacedByARealFolderBetweenTwoRequestsAndBack)
{
    sb_.WriteFile("out/inner.txt", "outside");
    if (!sb_.MakeLink("rw/dir/swap", sb_.Host("out"), LinkKind::Directory, false)) {
        GTEST_SKIP() << "this platform makes no directory links";
    }
    struct Step {
        const char* what;
        bool link;  // the state of rw/dir/swap for this request
        std::int32_t error;
    };
    const Step steps[] = {{"a link", true, -2}, {"a real folder", false, 0}, {"a link again", true, -2}};
    bool isLink = true;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.link && !isLink) {
            quortest::RemoveTree(sb_.Host("rw/dir/swap"));
            ASSERT_TRUE(sb_.MakeLink("rw/dir/swap", sb_.Host("out"), LinkKind::Directory, false));
        } else if (!s.link && isLink) {
            ASSERT_TRUE(sb_.RemoveLink("rw/dir/swap", LinkKind::Directory));
            sb_.WriteFile("rw/dir/swap/inner.txt", "inside");
        }
        isLink = s.link;
        EXPECT_EQ(c_.Call(FUSE_GETATTR, "/rw/dir/swap/inner.txt").error(), s.error);
        EXPECT_EQ(c_.Call(FUSE_OPEN, "/rw/dir/swap/inner.txt", DirectClient::Args(7, kOpenBinary)).error(), s.error);
        if (s.error == 0) {
            EXPECT_EQ(c_.Call(FUSE_RELEASE, "/rw/dir/swap/inner.txt", DirectClient::Args(7)).error(), 0);
        }
    }
    EXPECT_EQ(Text("out/inner.txt"), "outside");
}

TEST_F(Backend, AnExportedEntryThatIsItselfALinkIsTakenAsGiven)
{
    sb_.WriteFile("out/inner.txt", "outside");
    if (!sb_.MakeLink("entry", sb_.Host("out"), LinkKind::Directory, false) ||
        !sb_.MakeLink("out/deeper", sb_.Host("rw"), LinkKind::Directory, false)) {
        GTEST_SKIP() << "this platform makes no directory links";
    }
    ASSERT_TRUE(server_.AddShareName("viaLink", {{"e", sb_.Local("entry")}}, 0, false, false));
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/viaLink/e").error(), 0);
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/viaLink/e/inner.txt").error(), 0);
    // ... but no link below it.
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/viaLink/e/deeper").error(), -2);
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/viaLink/e/deeper/f.txt").error(), -2);
}

TEST_F(Backend, ARenameIntoAReadOnlyShareIsRefused)
{
    struct Case {
        const char* from;
        const char* to;
        std::int32_t error;
    };
    const Case cases[] = {
        {"/rw/dir/one", "/ro/rdir/one", -13},    // writable into read-only
        {"/rw/dir/one", "/ro/rdir/sub/one", -13},
        {"/ro/r.txt", "/rw/dir/r.txt", -13},     // read-only source, as before
        {"/rw/dir/one", "/rw/dir/sub-one", 0},  // within the writable share
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.from) + " -> " + k.to);
        EXPECT_EQ(c_.Call(FUSE_RENAME, k.from, ArgBlock{}, k.to).error(), k.error);
    }
    EXPECT_FALSE(std::filesystem::exists(sb_.Host("ro/rdir/one")));
    EXPECT_FALSE(std::filesystem::exists(sb_.Host("ro/rdir/sub/one")));
    EXPECT_EQ(Text("ro/r.txt"), "read only share");
    EXPECT_EQ(Text("rw/dir/sub-one"), "1");
}

TEST_F(Backend, TheReadQueueIsBoundedAndAReadBeyondItIsAnsweredOnThePort)
{
    // The server is not started: no worker takes jobs, as with a stalled device.
    ASSERT_EQ(c_.Call(FUSE_OPEN, "/rw/f.txt", DirectClient::Args(1, kOpenBinary)).error(), 0);
    for (std::size_t i = 0; i < ReadChannel::kQueueLimit; ++i) {
        c_.Call(FUSE_READ, "/rw/f.txt", DirectClient::Args(1, 0, 4));
        ASSERT_FALSE(c_.LastOnPort()) << "READ " << i << " of the bound";
    }
    quortest::LogTail tail;
    struct Case {
        const char* what;
        const char* path;
        std::int32_t error;
    };
    const Case beyond[] = {
        {"a READ of an open file", "/rw/f.txt", -1},
        {"a READ that does not resolve", "/rw/nope", -2},
        {"a READ of a virtual directory", "/rw", -1},
    };
    for (const Case& k : beyond) {
        SCOPED_TRACE(k.what);
        const Reply r = c_.Call(FUSE_READ, k.path, DirectClient::Args(1, 0, 4));
        EXPECT_TRUE(c_.LastOnPort());
        EXPECT_EQ(r.error(), k.error);
        EXPECT_EQ(r.header.opcode, FUSE_READ);
        EXPECT_EQ(r.header.unique, c_.LastUnique());
        EXPECT_EQ(r.header.length, 0u);
    }
    EXPECT_TRUE(tail.Contains("Read queue full: 256"));
    // Other requests go on as before.
    EXPECT_EQ(c_.Call(FUSE_GETATTR, "/rw/f.txt").error(), 0);
    EXPECT_TRUE(c_.LastOnPort());
}
