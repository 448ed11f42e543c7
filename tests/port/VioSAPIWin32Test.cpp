// The port's overlapped read/write/time-out/cancel paths on real Win32 calls, with a
// named pipe standing in for the virtio-serial device (no such device exists here).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "shared/lib/VioFsAPI.h"
#include "shared/lib/VioSAPI.h"
#include "tests/support/TestLog.h"

using namespace std::chrono_literals;
using quor::VioSAPI;
using Clock = std::chrono::steady_clock;

namespace {

class PipePort : public ::testing::Test {
protected:
    void SetUp() override
    {
        quortest::ProcessLogPath();
        static int counter = 0;
        name_ = L"\\\\.\\pipe\\quortest-port-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter++);
        server_ = ::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE);
        HANDLE client = ::CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
        port_.Adopt(reinterpret_cast<quor::platform::PortHandle>(client), 3);
    }
    void TearDown() override
    {
        if (server_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(server_);
        }
    }
    // Blocking server-side helpers on an overlapped handle.
    bool ServerWrite(const void* data, DWORD len)
    {
        OVERLAPPED ov {};
        ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        BOOL ok = ::WriteFile(server_, data, len, &n, &ov);
        if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
            ok = ::GetOverlappedResult(server_, &ov, &n, TRUE);
        }
        ::CloseHandle(ov.hEvent);
        return ok && n == len;
    }
    DWORD ServerRead(void* data, DWORD len)
    {
        OVERLAPPED ov {};
        ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        BOOL ok = ::ReadFile(server_, data, len, &n, &ov);
        if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
            ok = ::GetOverlappedResult(server_, &ov, &n, TRUE);
        }
        ::CloseHandle(ov.hEvent);
        return ok ? n : 0;
    }

    std::wstring name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    VioSAPI port_;
};

}  // namespace

TEST(VioSAPIWin32, DiscoveryFindsNoPortHere)
{
    quortest::ProcessLogPath();
    quortest::LogTail tail;
    VioSAPI port;
    EXPECT_FALSE(port.Open(3));
    EXPECT_TRUE(tail.Contains("Cannot get port handle port: 3")) << tail.Since();
    quortest::LogTail tail2;
    EXPECT_FALSE(port.Open(32));
    EXPECT_TRUE(tail2.Contains("hostPortIdx out of range: 32"));
}

TEST_F(PipePort, TimedReadWithoutDataTimesOutAndKeepsLength)
{
    unsigned char buf[32];
    std::uint32_t len = sizeof buf;
    const auto start = Clock::now();
    EXPECT_EQ(port_.TimedRead(buf, len, 150), quor::PortTimeout);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 140);
    EXPECT_EQ(len, sizeof buf);
    // The cancelled read has finished: the next one works normally.
    ASSERT_TRUE(ServerWrite("after", 5));
    char got[5];
    ASSERT_EQ(port_.ReadFull(got, 5, 2000), quor::PortOk);
    EXPECT_EQ(std::string(got, 5), "after");
}

TEST_F(PipePort, WritesAndReadsBothWays)
{
    const std::string out = "guest to host";
    std::uint32_t len = static_cast<std::uint32_t>(out.size());
    ASSERT_TRUE(port_.Write(out.data(), len));
    EXPECT_EQ(len, out.size());
    std::string got(out.size(), '\0');
    EXPECT_EQ(ServerRead(got.data(), static_cast<DWORD>(got.size())), out.size());
    EXPECT_EQ(got, out);

    len = static_cast<std::uint32_t>(out.size());
    ASSERT_EQ(port_.TimedWrite(out.data(), len, 1000), quor::PortOk);
    EXPECT_EQ(ServerRead(got.data(), static_cast<DWORD>(got.size())), out.size());

    // A read that is pending when the data arrives.
    std::thread late([this] {
        std::this_thread::sleep_for(100ms);
        ServerWrite("0123456789", 10);
    });
    char buf[10];
    EXPECT_EQ(port_.ReadFull(buf, 10, 3000), quor::PortOk);
    late.join();
    EXPECT_EQ(std::string(buf, 10), "0123456789");
}

TEST_F(PipePort, TimedWriteThatCannotDrainTimesOut)
{
    // Nobody reads the server end: a large write stays pending until the time-out.
    std::vector<unsigned char> big(1 << 20, 0x5A);
    std::uint32_t len = static_cast<std::uint32_t>(big.size());
    quortest::LogTail tail;
    const quor::PortStatus s = port_.TimedWrite(big.data(), len, 150);
    if (s == quor::PortTimeout) {
        EXPECT_EQ(len, big.size());
        EXPECT_TRUE(tail.Contains("Timed write to vioserial port: 3 timeout"));
    } else {
        // The cancellation raced a completed write: then what was written is reported.
        EXPECT_EQ(s, quor::PortOk);
        EXPECT_LE(len, big.size());
    }
}

TEST_F(PipePort, CancelFromAnotherThreadUnblocksALongRead)
{
    quor::PortStatus status = quor::PortOk;
    std::uint32_t len = 16;
    std::atomic<bool> returned {false};
    std::thread reader([&] {
        unsigned char buf[16];
        status = port_.TimedRead(buf, len, 60000);
        returned = true;
    });
    // CancelIoEx unblocks the reader once its read is pending (before, it finds nothing), so
    // cancel until the read has ended; a read that ran into its minute would report a
    // time-out. PurgeComm is not supported on a pipe (error 50), so the call itself reports
    // failure here.
    quortest::LogTail tail;
    while (!returned) {
        (void)port_.CancelAndPurge();
        std::this_thread::sleep_for(1ms);
    }
    reader.join();
    EXPECT_EQ(status, quor::PortError);
    EXPECT_EQ(len, 16U);
    EXPECT_TRUE(tail.Contains("Failed to purge vioserial port: 3, PurgeComm error: 50") ||
                !tail.Contains("Failed to cancel vioserial port"))
        << tail.Since();
}

TEST_F(PipePort, CancelAndPurgeWithNothingPendingDoesNotFailTheCancel)
{
    quortest::LogTail tail;
    (void)port_.CancelAndPurge();
    EXPECT_FALSE(tail.Contains("Failed to cancel vioserial port"));  // ERROR_NOT_FOUND is success
}

TEST(VioFsAPIWin32, NoVirtioFsDeviceHere)
{
    quortest::ProcessLogPath();
    quortest::LogTail tail;
    quor::VioFsAPI fs;
    EXPECT_FALSE(fs.Init());
    EXPECT_FALSE(fs.IsInitialised());
    EXPECT_TRUE(tail.Contains("Failed to get VioFs handle")) << tail.Since();
}
