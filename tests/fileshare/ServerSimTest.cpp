// End to end on the simulated machine: the host's file-share client against a started
// FuseServer over the simulated virtio-serial port, READ data through the simulated
// virtio-fs device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "tools/FsClient.h"
#include "fileshare/src/FuseServer.h"
#include "shared/lib/PacketHeader.h"
#include "tools/VirtioFsBackend.h"
#include "tests/fileshare/support/FsSandbox.h"

using namespace quor::fs;
using namespace std::chrono_literals;
using quorhost::FsClient;

namespace {

constexpr ServeTimings kFast{50, 50, 10};

class ServerSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        quortest::ProcessLogPath();
        sb_.WriteFile("pub/hello.txt", "hello from the guest");
        sb_.WriteFile("pub/dir/inner.bin", fstest::Pattern(1000, 1));
        sb_.WriteFile("ro/r.txt", "read only");
        std::filesystem::create_directories(sb_.Host("rw"));
        std::filesystem::create_directories(sb_.Host("ro/sub"));
        ASSERT_TRUE(backend_.Start());
        server_ = std::make_unique<FuseServer>(kFast);
        ASSERT_TRUE(server_->AddShareName("pub", {{"hello.txt", sb_.Local("pub/hello.txt")}, {"dir", sb_.Local("pub/dir")}},
                                          0, false, false));
        ASSERT_TRUE(server_->AddShareName("ro", {{"r.txt", sb_.Local("ro/r.txt")}, {"sub", sb_.Local("ro/sub")}}, 0, true,
                                          true));
        ASSERT_TRUE(server_->AddShareName("rw", {{"w", sb_.Local("rw")}}, 0, false, false));
        ASSERT_TRUE(server_->Start(4));
        ASSERT_TRUE(client_.Connect(4, 5000));
    }
    void TearDown() override
    {
        client_.Close();
        server_.reset();
        backend_.Stop();
    }
    // The virtio-fs reply of the latest READ.
    bool ReadReply(std::uint64_t unique, ReplyHeader& h, std::vector<unsigned char>& data)
    {
        return backend_.TakeReply(unique, h, data, 5000);
    }

    fstest::FsSandbox sb_;
    quorhost::VirtioFsBackend backend_;
    std::unique_ptr<FuseServer> server_;
    FsClient client_{backend_};
};

std::vector<std::string> Sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds limit = 5000ms)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!f()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace

TEST_F(ServerSim, ListingsAndAttributes)
{
    std::vector<std::string> names;
    ASSERT_EQ(client_.ReadDir("/", names), 0);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{".", "..", "pub", "rw"}));
    ASSERT_EQ(client_.ReadDir("/pub", names), 0);
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"dir", "hello.txt"}));
    ASSERT_EQ(client_.ReadDir("/pub/dir", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "inner.bin"}));
    ASSERT_EQ(client_.ReadDir("/ro", names), 0);  // hidden, yet reachable by name
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"r.txt", "sub"}));

    quorhost::FsAttr a;
    ASSERT_EQ(client_.GetAttr("/pub/hello.txt", a), 0);
    EXPECT_EQ(a.mode & 0xF000, 0x8000u);
    EXPECT_EQ(a.size, 20u);
    EXPECT_GT(a.mtime, 1600000000u);
    ASSERT_EQ(client_.GetAttr("/pub/dir", a), 0);
    EXPECT_EQ(a.mode & 0xF000, 0x4000u);
    ASSERT_EQ(client_.GetAttr("/", a), 0);
    EXPECT_EQ(a.mode, 0x41EDu);
    EXPECT_EQ(a.size, 4096u);
    EXPECT_EQ(client_.GetAttr("/pub/nothing", a), -2);
    EXPECT_EQ(client_.GetAttr("/pub/dir/../hello.txt", a), -2);
}

TEST_F(ServerSim, FilesOfEverySizeReadBackByteForByte)
{
    const std::size_t sizes[] = {0, 1, 0x200000 - 1, 0x200000 + 1, 9 * 0x100000};
    std::unordered_map<std::string, std::string> files;
    for (const std::size_t size : sizes) {
        sb_.WriteFile("sizes/" + std::to_string(size), fstest::Pattern(size, static_cast<std::uint32_t>(size)));
        files.emplace(std::to_string(size), sb_.Local("sizes/" + std::to_string(size)));
    }
    ASSERT_TRUE(server_->AddShareName("sizes", files, 0, true, true));
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        std::vector<unsigned char> got;
        ASSERT_EQ(client_.GetFile("/sizes/" + std::to_string(size), got), 0);
        EXPECT_TRUE(got == fstest::Pattern(size, static_cast<std::uint32_t>(size)));
    }

    // Reads at offsets of the 9 MiB file, one handle.
    const std::string path = "/sizes/" + std::to_string(9 * 0x100000);
    const auto all = fstest::Pattern(9 * 0x100000, 9 * 0x100000);
    ASSERT_EQ(client_.Open(path, kOpenBinary, 40), 0);
    struct Case {
        std::uint64_t offset;
        std::uint32_t size;
        std::size_t expected;
    };
    const Case cases[] = {
        {0, 100, 100},
        {5 * 0x100000 + 3, 70000, 70000},
        {9 * 0x100000 - 10, 100, 10},                 // short near the end
        {9 * 0x100000, 100, 0},                       // at the end
        {20 * 0x100000, 100, 0},                      // beyond it
        {7, 0x300000, 0x1FFFB0},                      // more than one READ carries
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        std::vector<unsigned char> data;
        ASSERT_EQ(client_.Read(path, 40, c.offset, c.size, data), 0);
        ASSERT_EQ(data.size(), c.expected);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), all.begin() + static_cast<long>(std::min<std::uint64_t>(c.offset, all.size()))));
    }
    EXPECT_EQ(client_.Release(path, 40), 0);
}

TEST_F(ServerSim, ReadOnlyShareRefusesEveryMutatingRequest)
{
    ASSERT_EQ(client_.Open("/ro/r.txt", kOpenBinary, 100), 0);
    std::uint64_t written = 99;
    EXPECT_EQ(client_.Write("/ro/r.txt", 100, 0, "xx", 2, written), -13);
    EXPECT_EQ(client_.Rename("/ro/r.txt", "/ro/sub/x"), -13);
    EXPECT_EQ(client_.Unlink("/ro/r.txt"), -13);
    EXPECT_EQ(client_.Truncate("/ro/r.txt", 0), -13);
    EXPECT_EQ(client_.Mkdir("/ro/sub/new"), -13);
    EXPECT_EQ(client_.Rmdir("/ro/sub"), -13);
    for (const std::uint32_t flags : {kOpenWriteOnly, kOpenReadWrite, kOpenAppend, kOpenCreate, kOpenTruncate,
                                      kOpenCreate | kOpenExclusive}) {
        EXPECT_EQ(client_.Open("/ro/sub/created", kOpenBinary | flags, 200 + flags), -13) << flags;
    }
    std::vector<unsigned char> data;
    ASSERT_EQ(client_.GetFile("/ro/r.txt", data), 0);
    EXPECT_EQ(std::string(data.begin(), data.end()), "read only");
    EXPECT_EQ(client_.Release("/ro/r.txt", 100), 0);
    EXPECT_TRUE(std::filesystem::exists(sb_.Host("ro/sub")));
    EXPECT_FALSE(std::filesystem::exists(sb_.Host("ro/sub/created")));
}

TEST_F(ServerSim, WritableShareRoundTrips)
{
    const auto big = fstest::Pattern(3 * 0x100000 + 17, 5);
    ASSERT_EQ(client_.PutFile("/rw/w/big.bin", big), 0);
    EXPECT_TRUE(sb_.ReadFile("rw/big.bin") == big);
    std::vector<unsigned char> back;
    ASSERT_EQ(client_.GetFile("/rw/w/big.bin", back), 0);
    EXPECT_TRUE(back == big);

    ASSERT_EQ(client_.Truncate("/rw/w/big.bin", 10), 0);
    EXPECT_EQ(std::filesystem::file_size(sb_.Host("rw/big.bin")), 10u);
    ASSERT_EQ(client_.Mkdir("/rw/w/d"), 0);
    EXPECT_EQ(client_.Mkdir("/rw/w/d"), -17);
    ASSERT_EQ(client_.Rename("/rw/w/big.bin", "/rw/w/d/moved.bin"), 0);
    EXPECT_EQ(client_.Rmdir("/rw/w/d"), -41);
    ASSERT_EQ(client_.Unlink("/rw/w/d/moved.bin"), 0);
    EXPECT_EQ(client_.Unlink("/rw/w/d/moved.bin"), -2);
    ASSERT_EQ(client_.Rmdir("/rw/w/d"), 0);
    std::vector<std::string> names;
    ASSERT_EQ(client_.ReadDir("/rw/w", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{".", ".."}));
}

TEST_F(ServerSim, UnknownHandlesAndReadsThatReachNoFile)
{
    std::vector<unsigned char> data;
    EXPECT_EQ(client_.Read("/pub/hello.txt", 12345, 0, 10, data), -1);  // never opened
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(client_.Release("/pub/hello.txt", 12345), -1);
    std::uint64_t written = 7;
    EXPECT_EQ(client_.Write("/pub/hello.txt", 12345, 0, "x", 1, written), -1);
    EXPECT_EQ(written, 0u);
    // READs the backend never sees are still answered, through the device.
    struct Case {
        const char* path;
        std::int32_t error;
    };
    for (const Case c : {Case{"/", -1}, Case{"/pub", -1}, Case{"/nosuch/x", -2}, Case{"/pub/dir/../hello.txt", -2}}) {
        EXPECT_EQ(client_.Read(c.path, 1, 0, 10, data), c.error) << c.path;
        EXPECT_TRUE(data.empty());
    }
    // And the link still serves.
    quorhost::FsAttr a;
    EXPECT_EQ(client_.GetAttr("/pub/hello.txt", a), 0);
}

TEST_F(ServerSim, ShareChangesDuringRequests)
{
    std::atomic<bool> done{false};
    std::atomic<int> changes{0};
    std::thread changer([&] {
        for (int i = 0; !done; ++i) {
            const std::string name = "tmp" + std::to_string(i % 7);
            server_->AddShareName(name, {{"hello.txt", sb_.Local("pub/hello.txt")}}, 0, i % 2 == 0, true);
            std::int64_t t = 0;
            server_->GetShareAccessTime(name, t);
            server_->RemoveShareName(name, i % 3 == 0);
            ++changes;
        }
    });
    for (int i = 0; i < 150; ++i) {
        std::vector<std::string> names;
        ASSERT_EQ(client_.ReadDir("/", names), 0);
        EXPECT_TRUE(std::find(names.begin(), names.end(), "pub") != names.end());
        quorhost::FsAttr a;
        ASSERT_EQ(client_.GetAttr("/pub/hello.txt", a), 0);
        const std::int32_t r = client_.GetAttr("/tmp" + std::to_string(i % 7) + "/hello.txt", a);
        EXPECT_TRUE(r == 0 || r == -2) << r;
        if (i % 10 == 0) {
            std::vector<unsigned char> data;
            ASSERT_EQ(client_.GetFile("/pub/hello.txt", data), 0);
            EXPECT_EQ(data.size(), 20u);
        }
    }
    done = true;
    changer.join();
    EXPECT_GT(changes.load(), 0);
}

TEST_F(ServerSim, PeerLeavingConnectedReconnectsAndClosesOpenFiles)
{
    ASSERT_EQ(client_.Open("/pub/hello.txt", kOpenBinary, 3), 0);
    std::vector<unsigned char> data;
    ASSERT_EQ(client_.Read("/pub/hello.txt", 3, 0, 5, data), 0);
    quortest::LogTail tail;
    // The host announces Closing while the server waits for a request: read code 1.
    ASSERT_TRUE(client_.Peer().SendControl(quor::PacketHeader::kOpGetState, quor::StateClosing));
    ASSERT_TRUE(client_.AwaitHandshake(5000));
    // The host has answered the last handshake step; the server takes it in a moment later.
    EXPECT_TRUE(WaitFor([&] { return server_->Conn() == Connected && tail.Contains("Fuse client connected"); }));
    EXPECT_TRUE(tail.Contains("Request read error: 1"));
    // The new link starts without open files.
    EXPECT_EQ(client_.Read("/pub/hello.txt", 3, 0, 5, data), -1);
    EXPECT_EQ(client_.Release("/pub/hello.txt", 3), -1);
    ASSERT_EQ(client_.GetFile("/pub/hello.txt", data), 0);
}

TEST_F(ServerSim, ProtocolErrorsPurgeAndReconnectWithoutDispatching)
{
    std::vector<unsigned char> req(quor::fs::kBufferSize);
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
        const char* line;
    };
    const Case cases[] = {
        {"opcode 12", 8, 12, "Protocol error: opcode 12"},
        {"opcode 0", 8, 0, "Protocol error: opcode 0"},
        {"length 0", 4, 0, "Protocol error: zero request length."},
        {"bad magic", 0, 0x12345678, "Protocol error: hdr magic 305419896"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t n = BuildRequest(req.data(), req.size(), FUSE_MKDIR, 9, ArgBlock{}, "/rw/w/never");
        std::memcpy(req.data() + c.offset, &c.value, 4);
        if (c.offset == 4) {
            n = 32;
        }
        quortest::LogTail tail;
        ASSERT_TRUE(client_.Peer().SendPacket(req.data(), n));
        ASSERT_TRUE(client_.AwaitHandshake(5000));
        EXPECT_TRUE(tail.Contains(c.line));
        EXPECT_TRUE(tail.Contains("Request read error: 3"));
        EXPECT_FALSE(std::filesystem::exists(sb_.Host("rw/never")));
    }
    quorhost::FsAttr a;
    EXPECT_EQ(client_.GetAttr("/pub/hello.txt", a), 0);
}

TEST_F(ServerSim, ARequestCutShortIsNeverExecuted)
{
    std::vector<unsigned char> req(quor::fs::kBufferSize);
    const std::size_t n = BuildRequest(req.data(), req.size(), FUSE_MKDIR, 9, ArgBlock{}, "/rw/w/half");
    ASSERT_TRUE(client_.Peer().SendPacket(req.data(), n - 5));
    // The server must have taken in what was sent: the simulated port drops what a closed
    // host left unread once the next host is there.
    ASSERT_TRUE(WaitFor([&] { return client_.Peer().Port().Unread() == 0; }));
    // The host goes away; another one comes and waits for the handshake. The rest of the
    // request never arrives, so the server drops the link after its read time-out.
    client_.Close();
    FsClient second(backend_);
    quortest::LogTail tail;
    ASSERT_TRUE(second.Connect(4, 10000)) << tail.Since();
    EXPECT_TRUE(tail.Contains("Request read error: 1"));
    EXPECT_FALSE(std::filesystem::exists(sb_.Host("rw/half")));
    EXPECT_EQ(second.Mkdir("/rw/w/whole"), 0);
    EXPECT_TRUE(std::filesystem::exists(sb_.Host("rw/whole")));
    second.Close();
}

TEST_F(ServerSim, AnIdleLinkOutlastsTheReceiveTimeOutWithoutReconnecting)
{
    // The server logs "Fuse client connected" before it counts itself connected.
    ASSERT_TRUE(WaitFor([&] { return server_->Conn() == Connected; }));
    quortest::LogTail tail;
    const std::uint64_t before = server_->ReceiveTimeouts();
    // The host sends nothing: the server's request read runs into its 3000 ms time-out.
    ASSERT_TRUE(WaitFor([&] { return server_->ReceiveTimeouts() > before; }, 30000ms));
    EXPECT_EQ(server_->Conn(), Connected);
    EXPECT_FALSE(tail.Contains("Fuse client connected"));
    EXPECT_FALSE(tail.Contains("Request read error"));
    // The same link serves on, without a new handshake.
    quorhost::FsAttr a;
    EXPECT_EQ(client_.GetAttr("/pub/hello.txt", a), 0);
    std::vector<unsigned char> data;
    EXPECT_EQ(client_.GetFile("/pub/hello.txt", data), 0);
    EXPECT_FALSE(tail.Contains("Fuse client connected"));
}

TEST_F(ServerSim, ABrokenPeerEndsTheServingThread)
{
    quortest::LogTail tail;
    // A report (opcode 2) where a request belongs: read code 2.
    ASSERT_TRUE(client_.Peer().SendControl(quor::PacketHeader::kOpReportState, quor::StateConnected));
    EXPECT_TRUE(WaitFor([&] { return !server_->IsServing(); }));
    EXPECT_TRUE(tail.Contains("Peer state invalide opcode 2"));
    EXPECT_TRUE(tail.Contains("Request read error: 2"));
    EXPECT_EQ(server_->Conn(), Disconnected);
}

TEST(ServerState, PortStatusMovesOnlyTheExpectedStates)
{
    FuseServer server;
    EXPECT_EQ(server.Conn(), Disconnected);
    server.OnPortStatus(true);  // Disconnected stays
    EXPECT_EQ(server.Conn(), Disconnected);
    server.OnPortStatus(false);
    EXPECT_EQ(server.Conn(), Connected);
    server.OnPortStatus(false);
    EXPECT_EQ(server.Conn(), Connected);
    server.OnPortStatus(true);
    EXPECT_EQ(server.Conn(), Disconnected);
    EXPECT_EQ(server.GetPortHandle(), quor::platform::kInvalidPort);
}

TEST(ServerState, StartNeedsTheDeviceAndStartsOnce)
{
    fstest::FsSandbox sb;
    quortest::ProcessLogPath();
    {
        quortest::LogTail tail;
        FuseServer server(kFast);
        EXPECT_FALSE(server.Start(4));
        EXPECT_TRUE(tail.Contains("Failed to get VioFs device"));
        EXPECT_TRUE(tail.Contains("Failed to initialise localFS"));
    }
    quorhost::VirtioFsBackend backend;
    ASSERT_TRUE(backend.Start());
    {
        quortest::LogTail tail;
        FuseServer server(kFast);
        EXPECT_FALSE(server.Start(9));  // no such port
        EXPECT_TRUE(tail.Contains("Can't get virtio serial device port 9"));
        EXPECT_TRUE(server.Start(4));
        EXPECT_NE(server.GetPortHandle(), quor::platform::kInvalidPort);
        quortest::LogTail again;
        EXPECT_TRUE(server.Start(4));
        EXPECT_TRUE(again.Contains("Already start fuse server!"));
    }
}
