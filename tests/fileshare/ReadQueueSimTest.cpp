// The READ queue and its worker against a virtio-fs device that answers only when the
// test lets it: queued READs are answered in order, and a READ whose file was closed
// meanwhile (RELEASE, CloseShare, CloseAll) never reads through the old descriptor, even
// when a later OPEN got the same number.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fileshare/src/LocalFS.h"
#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "tests/fileshare/support/FsSandbox.h"

using namespace quor::fs;

namespace {

// A virtio-fs device stand-in that holds each answer until Allow().
class GatedDevice {
public:
    struct Seen {
        ReplyHeader header;
        std::vector<unsigned char> data;
        std::uint32_t operation;
        std::uint32_t total;
    };

    GatedDevice()
    {
        const std::string path = quor::platform::VirtioFsSocket();
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listenFd_, 1), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~GatedDevice()
    {
        {
            std::lock_guard<std::mutex> g(m_);
            allowed_ = 1 << 30;
        }
        cv_.notify_all();
        ::shutdown(listenFd_, SHUT_RDWR);
        if (connFd_ >= 0) {
            ::shutdown(connFd_, SHUT_RDWR);
        }
        thread_.join();
        ::close(listenFd_);
        if (connFd_ >= 0) {
            ::close(connFd_);
        }
    }
    void Allow(int n)
    {
        {
            std::lock_guard<std::mutex> g(m_);
            allowed_ += n;
        }
        cv_.notify_all();
    }
    // Waits until `n` requests have arrived.
    std::vector<Seen> WaitSeen(std::size_t n)
    {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait_for(l, std::chrono::seconds(5), [&] { return seen_.size() >= n; });
        return seen_;
    }

private:
    static bool ReadExact(int fd, void* p, std::size_t n)
    {
        auto* b = static_cast<unsigned char*>(p);
        while (n > 0) {
            const ssize_t r = ::recv(fd, b, n, 0);
            if (r <= 0) {
                return false;
            }
            b += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    void Serve()
    {
        connFd_ = ::accept(listenFd_, nullptr, nullptr);
        if (connFd_ < 0) {
            return;
        }
        for (;;) {
            std::uint32_t total = 0;
            if (!ReadExact(connFd_, &total, 4) || total < 64) {
                return;
            }
            std::vector<unsigned char> req(total);
            std::memcpy(req.data(), &total, 4);
            if (!ReadExact(connFd_, req.data() + 4, total - 4)) {
                return;
            }
            Seen s;
            std::memcpy(&s.operation, req.data() + 4, 4);
            std::memcpy(&s.header, req.data() + 40, sizeof s.header);
            s.data.assign(req.begin() + 64, req.end());
            s.total = total;
            std::unique_lock<std::mutex> l(m_);
            seen_.push_back(s);
            cv_.notify_all();
            cv_.wait(l, [&] { return answered_ < allowed_; });
            ++answered_;
            l.unlock();
            unsigned char answer[16] = {};
            const std::uint32_t len = 16;
            std::memcpy(answer, &len, 4);
            std::memcpy(answer + 8, &s.header.unique, 8);
            if (::send(connFd_, answer, sizeof answer, MSG_NOSIGNAL) != 16) {
                return;
            }
        }
    }

    int listenFd_ = -1;
    int connFd_ = -1;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Seen> seen_;
    int allowed_ = 0;
    int answered_ = 0;
};

std::vector<unsigned char> ReplyFor(std::uint64_t unique)
{
    std::vector<unsigned char> r(64);
    WriteReplyHeader(r.data(), FUSE_READ, unique, 0, 0);
    return r;
}

ArgBlock Args(std::uint64_t handle, std::uint64_t offset, std::uint64_t size)
{
    ArgBlock a {};
    a.hostFileHandle = handle;
    a.offset = offset;
    a.size = size;
    return a;
}

}  // namespace

TEST(ReadQueue, JobsAreAnsweredInArrivalOrderWithTheirOwnUnique)
{
    quortest::ProcessLogPath();
    fstest::FsSandbox sb;
    sb.WriteFile("a", fstest::Pattern(5000, 3));
    GatedDevice device;
    LocalFS fs;
    ASSERT_TRUE(fs.Init());
    ASSERT_EQ(fs.Open(sb.Local("a"), Args(1, 0, 0), true, "s"), 0);
    for (std::uint64_t u = 1; u <= 5; ++u) {
        ASSERT_EQ(fs.Read(sb.Local("a"), Args(1, (u - 1) * 1000, 1000), ReplyFor(100 + u).data(), "s"), 0);
    }
    device.Allow(5);
    const auto seen = device.WaitSeen(5);
    ASSERT_EQ(seen.size(), 5u);
    const auto all = fstest::Pattern(5000, 3);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(seen[i].header.unique, 101 + i);
        EXPECT_EQ(seen[i].operation, 2048u);
        EXPECT_EQ(seen[i].total, 64u + 1000u);
        EXPECT_EQ(seen[i].header.magic, kReplyMagic);
        EXPECT_EQ(seen[i].header.opcode, FUSE_READ);
        EXPECT_EQ(seen[i].header.error, 0);
        EXPECT_EQ(seen[i].header.length, 1000u);
        EXPECT_TRUE(std::equal(seen[i].data.begin(), seen[i].data.end(), all.begin() + static_cast<long>(i * 1000)));
    }
}

TEST(ReadQueue, AQueuedReadNeverReadsThroughAClosedOrReusedDescriptor)
{
    quortest::ProcessLogPath();
    enum class Closer { Release, CloseShare, CloseAll };
    for (const Closer closer : {Closer::Release, Closer::CloseShare, Closer::CloseAll}) {
        SCOPED_TRACE(static_cast<int>(closer));
        fstest::FsSandbox sb;
        sb.WriteFile("a", std::string(100, 'A'));
        sb.WriteFile("b", std::string(100, 'B'));
        GatedDevice device;
        LocalFS fs;
        ASSERT_TRUE(fs.Init());
        const std::string a = sb.Local("a");
        ASSERT_EQ(fs.Open(a, Args(1, 0, 0), true, "s"), 0);
        std::u16string wideA(a.begin(), a.end());
        const int fdA = fs.FindOpenFile(wideA, 1, "s");
        ASSERT_GE(fdA, 0);

        // The first READ occupies the worker (its answer is held); the second waits in the queue.
        ASSERT_EQ(fs.Read(a, Args(1, 0, 10), ReplyFor(1).data(), "s"), 0);
        device.WaitSeen(1);
        ASSERT_EQ(fs.Read(a, Args(1, 0, 10), ReplyFor(2).data(), "s"), 0);
        switch (closer) {
        case Closer::Release:
            ASSERT_EQ(fs.Release(a, Args(1, 0, 0), "s"), 0);
            break;
        case Closer::CloseShare:
            fs.CloseShare("s");
            break;
        case Closer::CloseAll:
            fs.CloseAll();
            break;
        }
        EXPECT_FALSE(fs.HasOpenFiles("s"));
        // A new OPEN takes the freed descriptor number.
        const std::string b = sb.Local("b");
        ASSERT_EQ(fs.Open(b, Args(2, 0, 0), true, "s"), 0);
        EXPECT_EQ(fs.FindOpenFile(std::u16string(b.begin(), b.end()), 2, "s"), fdA);

        quortest::LogTail tail;
        device.Allow(2);
        const auto seen = device.WaitSeen(2);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].header.error, 0);
        EXPECT_EQ(std::string(seen[0].data.begin(), seen[0].data.end()), std::string(10, 'A'));
        EXPECT_EQ(seen[1].header.unique, 2u);
        EXPECT_EQ(seen[1].header.error, -1);
        EXPECT_EQ(seen[1].header.length, 0u);
        EXPECT_TRUE(seen[1].data.empty());
        EXPECT_TRUE(tail.Contains("Failed to read file with error: not opened."));
    }
}

TEST(ReadQueue, ReadsOfUnopenedHandlesAndFailuresAreAnswered)
{
    quortest::ProcessLogPath();
    fstest::FsSandbox sb;
    sb.WriteFile("a", "abc");
    GatedDevice device;
    LocalFS fs;
    ASSERT_TRUE(fs.Init());
    quortest::LogTail tail;
    ASSERT_EQ(fs.Read(sb.Local("a"), Args(9, 0, 10), ReplyFor(1).data(), "s"), 0);
    fs.QueueReadFailure(2, -2);
    ASSERT_EQ(fs.Open(sb.Local("a"), Args(1, 0, 0), true, "s"), 0);
    ASSERT_EQ(fs.Read(sb.Local("a"), Args(1, 0, 0x7FFFFFFF), ReplyFor(3).data(), "s"), 0);
    device.Allow(3);
    const auto seen = device.WaitSeen(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].header.error, -1);
    EXPECT_EQ(seen[0].total, 64u);
    EXPECT_EQ(seen[1].header.error, -2);
    EXPECT_EQ(seen[1].header.unique, 2u);
    EXPECT_EQ(seen[2].header.error, 0);
    EXPECT_EQ(std::string(seen[2].data.begin(), seen[2].data.end()), "abc");
    EXPECT_TRUE(tail.Contains("Can't read file <HIDDEN-DATA>, host fileHandle 9, error: not opened."));
    EXPECT_TRUE(tail.Contains("Failed to read file with error: not opened."));
    // The second Init changes nothing.
    quortest::LogTail again;
    EXPECT_TRUE(fs.Init());
    EXPECT_TRUE(again.Contains("LocalFS already initialised!"));
}

namespace {

// Runs `f` on a thread of its own and tells whether it returned within a bound that only
// a caller blocked for good exceeds (the test fails instead of hanging).
bool ReturnsWhileTheReadIsHeld(const std::function<void()>& f)
{
    auto done = std::async(std::launch::async, f);
    return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

}  // namespace

TEST(ReadQueue, ClosingAndWritingNeverWaitForAReadInProgress)
{
    quortest::ProcessLogPath();
    enum class Call { Release, Write, CloseShare, CloseAll };
    for (const Call call : {Call::Release, Call::Write, Call::CloseShare, Call::CloseAll}) {
        SCOPED_TRACE(static_cast<int>(call));
        fstest::FsSandbox sb;
        std::string content;
        for (int i = 0; i < 10; ++i) {
            content += std::string(10, static_cast<char>('0' + i));
        }
        sb.WriteFile("a", content);
        sb.WriteFile("b", std::string(100, 'B'));
        GatedDevice device;
        device.Allow(100);
        LocalFS fs;
        ASSERT_TRUE(fs.Init());
        const std::string a = sb.Local("a");
        ArgBlock open = Args(1, 0, 0);
        open.flags = kOpenBinary | kOpenReadWrite;
        ASSERT_EQ(fs.Open(a, open, false, "s"), 0);

        // The worker's first _read blocks inside the runtime until the test lets it go.
        auto& faults = quor::platform::sim::SimMachine::Get().Faults();
        quor::platform::sim::FaultRule hold;
        hold.hold = true;
        faults.Arm("CrtFiles._read", hold);
        ASSERT_EQ(fs.Read(a, Args(1, 20, 10), ReplyFor(1).data(), "s"), 0);
        ASSERT_TRUE(faults.WaitHeld("CrtFiles._read", 1, 30000));
        // A second READ waits in the queue behind the one in progress.
        ASSERT_EQ(fs.Read(a, Args(1, 50, 10), ReplyFor(2).data(), "s"), 0);

        std::int32_t result = 99;
        std::vector<unsigned char> reply(64 + 24);
        const unsigned char data[] = {'w', 'w', 'w', 'w'};
        EXPECT_TRUE(ReturnsWhileTheReadIsHeld([&] {
            switch (call) {
            case Call::Release:
                result = fs.Release(a, Args(1, 0, 0), "s");
                break;
            case Call::Write:
                result = fs.Write(a, Args(1, 90, 4), data, sizeof data, reply.data(), "s");
                break;
            case Call::CloseShare:
                fs.CloseShare("s");
                result = 0;
                break;
            case Call::CloseAll:
                fs.CloseAll();
                result = 0;
                break;
            }
        }));
        EXPECT_EQ(result, 0);
        const bool closed = call != Call::Write;
        EXPECT_EQ(fs.HasOpenFiles("s"), !closed);
        // A later OPEN may take a freed number; the queued READ must not read through it.
        const std::string b = sb.Local("b");
        ASSERT_EQ(fs.Open(b, Args(2, 0, 0), true, "s"), 0);

        faults.Release("CrtFiles._read");
        const auto seen = device.WaitSeen(2);
        ASSERT_EQ(seen.size(), 2u);
        // The read in progress finishes with its own data at its own offset.
        EXPECT_EQ(seen[0].header.unique, 1u);
        EXPECT_EQ(seen[0].header.error, 0);
        EXPECT_EQ(std::string(seen[0].data.begin(), seen[0].data.end()), std::string(10, '2'));
        EXPECT_EQ(seen[1].header.unique, 2u);
        if (closed) {
            // Queued before the file was closed, taken after: -1, nothing read.
            EXPECT_EQ(seen[1].header.error, -1);
            EXPECT_TRUE(seen[1].data.empty());
        } else {
            // The WRITE's seek did not move the worker's file position.
            EXPECT_EQ(seen[1].header.error, 0);
            EXPECT_EQ(std::string(seen[1].data.begin(), seen[1].data.end()), std::string(10, '5'));
            EXPECT_EQ(sb.ReadFile("a").size(), 100u);
            const auto bytes = sb.ReadFile("a");
            EXPECT_EQ(std::string(bytes.begin() + 90, bytes.end()), "wwww999999");
        }
        faults.Clear();
    }
}

TEST(ReadQueue, AStalledDeviceBoundsTheQueue)
{
    quortest::ProcessLogPath();
    fstest::FsSandbox sb;
    sb.WriteFile("a", "abcdef");
    GatedDevice device;  // answers nothing until allowed: a stalled device
    LocalFS fs;
    ASSERT_TRUE(fs.Init());
    ASSERT_EQ(fs.Open(sb.Local("a"), Args(1, 0, 0), true, "s"), 0);
    // The worker takes the first READ and waits in the device.
    ASSERT_EQ(fs.Read(sb.Local("a"), Args(1, 0, 1), ReplyFor(1).data(), "s"), 0);
    ASSERT_EQ(device.WaitSeen(1).size(), 1u);
    // Then the queue fills up to its bound, and not one job further.
    for (std::uint64_t u = 2; u < 2 + ReadChannel::kQueueLimit; ++u) {
        ASSERT_EQ(fs.Read(sb.Local("a"), Args(1, 0, 1), ReplyFor(u).data(), "s"), 0) << u;
    }
    quortest::LogTail tail;
    const std::uint64_t over = 2 + ReadChannel::kQueueLimit;
    EXPECT_EQ(fs.Read(sb.Local("a"), Args(1, 0, 1), ReplyFor(over).data(), "s"), -1);
    EXPECT_FALSE(fs.QueueReadFailure(over + 1, -2));
    EXPECT_TRUE(tail.Contains("Read queue full: 256"));
    // Once the device answers again, every queued READ is answered, in order, and the
    // refused ones never reach it.
    device.Allow(static_cast<int>(ReadChannel::kQueueLimit) + 1);
    const auto seen = device.WaitSeen(ReadChannel::kQueueLimit + 1);
    ASSERT_EQ(seen.size(), ReadChannel::kQueueLimit + 1);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].header.unique, i + 1);
        EXPECT_EQ(seen[i].header.error, 0);
    }
    // Room again.
    device.Allow(1);
    EXPECT_EQ(fs.Read(sb.Local("a"), Args(1, 0, 1), ReplyFor(over + 2).data(), "s"), 0);
    EXPECT_EQ(device.WaitSeen(ReadChannel::kQueueLimit + 2).back().header.unique, over + 2);
}
