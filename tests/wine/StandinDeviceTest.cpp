// The stand-in virtio devices under Wine, seen as the program sees them (SetupDi, overlapped
// handles, the information request, the virtio-fs request), with this test as the host:
// it connects to the ports' TCP ends and serves the virtio-fs back end itself.
#include <winsock2.h>
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "shared/lib/platform/SerialPort.h"
#include "tests/support/WaitUntil.h"

namespace {

const GUID kSerialPortClass = {0x6FDE7521, 0x1B65, 0x48AE, {0xB6, 0x28, 0x80, 0xBE, 0x62, 0x01, 0x60, 0x26}};
const GUID kVirtioFsClass = {0xA1B0CBF2, 0xF488, 0x4B29, {0xB8, 0x9F, 0x16, 0xC7, 0x8E, 0x68, 0xC7, 0x37}};
constexpr DWORD kIoctlFsRequest = 0x0022E004;
constexpr int kWaitMs = 30000;
constexpr DWORD kErrorCantWait = 554;  // ERROR_CANT_WAIT, which mingw's headers do not name

std::vector<std::wstring> InterfacePaths(const GUID& guid)
{
    std::vector<std::wstring> paths;
    HDEVINFO set = ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD required = 0;
        (void)::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        std::vector<unsigned char> storage(required, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return paths;
}

HANDLE Open(const std::wstring& path, DWORD flags)
{
    return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// The program's own information request (it waits for the answer the device pends).
bool HostIndex(HANDLE h, std::uint32_t& index)
{
    return quor::platform::QueryHostPortIndex(reinterpret_cast<quor::platform::PortHandle>(h), index);
}

// The path of the port with this host index.
std::wstring PortPath(std::uint32_t wanted)
{
    for (const std::wstring& path : InterfacePaths(kSerialPortClass)) {
        HANDLE h = Open(path, FILE_FLAG_OVERLAPPED);
        std::uint32_t index = 0;
        const bool ok = h != INVALID_HANDLE_VALUE && HostIndex(h, index);
        ::CloseHandle(h);
        if (ok && index == wanted) {
            return path;
        }
    }
    return {};
}

// One overlapped operation with its own event.
struct Io {
    OVERLAPPED ov{};
    Io() { ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { ::CloseHandle(ov.hEvent); }
    // The final error (0 for success) and byte count, waiting for completion.
    DWORD Finish(HANDLE h, DWORD& n)
    {
        return ::GetOverlappedResult(h, &ov, &n, TRUE) ? 0 : ::GetLastError();
    }
};

SOCKET Connect(unsigned short port)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(port);
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool SendAll(SOCKET s, const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const int n = ::send(s, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

bool RecvAll(SOCKET s, std::string& bytes, std::size_t size)
{
    bytes.assign(size, '\0');
    std::size_t at = 0;
    while (at < size) {
        const int n = ::recv(s, bytes.data() + at, static_cast<int>(size - at), 0);
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Pattern(std::size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 131 + seed) % 251);
    }
    return s;
}

class StandinPort : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void SetUp() override
    {
        path_ = PortPath(3);
        ASSERT_FALSE(path_.empty()) << "no port with host index 3";
        port_ = Open(path_, FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (host_ != INVALID_SOCKET) {
            ::closesocket(host_);
        }
        // The next test starts with no host: wait until the device has seen this one leave.
        EXPECT_TRUE(quortest::WaitUntil([&] { return WriteError("x") == kErrorCantWait; }, kWaitMs));
        ::CloseHandle(port_);
    }
    void ConnectHost() { ASSERT_NE(host_ = Connect(STANDIN_PORT_SERIAL3), INVALID_SOCKET); }
    DWORD WriteError(const std::string& bytes)
    {
        Io io;
        DWORD n = 0;
        if (::WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &io.ov)) {
            return 0;
        }
        return ::GetLastError() == ERROR_IO_PENDING ? io.Finish(port_, n) : ::GetLastError();
    }
    // Reads exactly `size` bytes in reads of at most `piece`.
    bool ReadExact(std::string& out, std::size_t size, std::size_t piece)
    {
        out.clear();
        std::vector<char> buffer(piece);
        while (out.size() < size) {
            Io io;
            DWORD n = 0;
            const DWORD ask = static_cast<DWORD>(std::min(piece, size - out.size()));
            if (!::ReadFile(port_, buffer.data(), ask, &n, &io.ov) &&
                (::GetLastError() != ERROR_IO_PENDING || io.Finish(port_, n) != 0)) {
                return false;
            }
            out.append(buffer.data(), n);
        }
        return true;
    }

    std::wstring path_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    SOCKET host_ = INVALID_SOCKET;
};

TEST(StandinDevices, PortsAnswerTheirHostIndexesAndTheVirtioFsDeviceIsListed)
{
    // The devices pend the information request, as a real driver may: the program's
    // request waits for the answer.
    EXPECT_FALSE(PortPath(3).empty());
    EXPECT_FALSE(PortPath(4).empty());
    EXPECT_TRUE(PortPath(5).empty());
    EXPECT_EQ(InterfacePaths(kVirtioFsClass).size(), 1U);
}

TEST_F(StandinPort, AWriteWithoutAHostPendsAndFailsWith554)
{
    Io io;
    DWORD n = 0;
    ASSERT_FALSE(::WriteFile(port_, "abc", 3, &n, &io.ov));
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << "failed inside the dispatch routine";
    EXPECT_EQ(io.Finish(port_, n), kErrorCantWait);
}

TEST_F(StandinPort, AReadWaitsForTheHostAndCancellationEndsItWith995)
{
    char buffer[16];
    Io io;
    DWORD n = 0;
    ASSERT_FALSE(::ReadFile(port_, buffer, sizeof buffer, &n, &io.ov));
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(::WaitForSingleObject(io.ov.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(::CancelIoEx(port_, nullptr));
    EXPECT_EQ(io.Finish(port_, n), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // With nothing left pending Windows and Wine 10 answer FALSE with ERROR_NOT_FOUND; Wine 8 TRUE.
    const BOOL again = ::CancelIoEx(port_, nullptr);
    const DWORD error = again ? ERROR_SUCCESS : ::GetLastError();
    EXPECT_TRUE(again || error == ERROR_NOT_FOUND) << "a second CancelIoEx failed with " << error;
}

TEST_F(StandinPort, BytesCrossBothWaysWhole)
{
    ConnectHost();
    struct Case {
        std::size_t size;
        std::size_t readPiece;
    };
    // Around the receive buffer (64 KiB) and the send piece (64 KiB), and far beyond both.
    const Case cases[] = {{1, 1}, {4096, 4096}, {65535, 65536}, {65536, 65536}, {65537, 1000},
                          {1024 * 1024 + 3, 65537}};
    for (const Case& c : cases) {
        const std::string down = Pattern(c.size, 7);
        ASSERT_TRUE(SendAll(host_, down));
        std::string got;
        ASSERT_TRUE(ReadExact(got, c.size, c.readPiece)) << c.size;
        EXPECT_TRUE(got == down) << "host to guest, " << c.size << " bytes";

        const std::string up = Pattern(c.size, 11);
        EXPECT_EQ(WriteError(up), 0U) << c.size;
        ASSERT_TRUE(RecvAll(host_, got, c.size)) << c.size;
        EXPECT_TRUE(got == up) << "guest to host, " << c.size << " bytes";
    }
}

TEST_F(StandinPort, BytesSentBeforeTheHostLeftStayReadable)
{
    ConnectHost();
    ASSERT_TRUE(SendAll(host_, "last words"));
    ::closesocket(host_);
    host_ = INVALID_SOCKET;
    std::string got;
    ASSERT_TRUE(ReadExact(got, 10, 64));
    EXPECT_EQ(got, "last words");
}

TEST_F(StandinPort, ClosingTheHandleEndsItsPendingReadAndLeavesTheDataForTheNextOpen)
{
    char buffer[16];
    Io io;
    DWORD n = 0;
    ASSERT_FALSE(::ReadFile(port_, buffer, sizeof buffer, &n, &io.ov));
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ::CloseHandle(port_);
    ASSERT_EQ(::WaitForSingleObject(io.ov.hEvent, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(static_cast<LONG>(io.ov.Internal), static_cast<LONG>(0xC0000120L)) << "STATUS_CANCELLED";

    port_ = Open(path_, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ConnectHost();
    ASSERT_TRUE(SendAll(host_, "fresh"));
    std::string got;
    ASSERT_TRUE(ReadExact(got, 5, 16));
    EXPECT_EQ(got, "fresh");
}

// The virtio-fs device against a back end served by the test.
class StandinFs : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const BOOL one = TRUE;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = ::htons(STANDIN_PORT_FS);
        a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(listener_, 4), 0);
        const std::vector<std::wstring> paths = InterfacePaths(kVirtioFsClass);
        ASSERT_EQ(paths.size(), 1U);
        path_ = paths[0];
        device_ = Open(path_, 0);
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        ::CloseHandle(device_);
        for (SOCKET s : {backend_, listener_}) {
            if (s != INVALID_SOCKET) {
                ::closesocket(s);
            }
        }
    }
    static std::string Request(std::uint32_t length, std::uint32_t opcode)
    {
        std::string r = Pattern(length, opcode);
        std::memcpy(r.data(), &length, 4);
        std::memcpy(r.data() + 4, &opcode, 4);
        return r;
    }
    // Submits `request` on a thread of its own (the call is synchronous).
    HANDLE Submit(const std::string& request)
    {
        request_ = request;
        return ::CreateThread(nullptr, 0, [](void* self) -> DWORD {
            auto* t = static_cast<StandinFs*>(self);
            DWORD n = 0;
            t->ok_ = ::DeviceIoControl(t->device_, kIoctlFsRequest, t->request_.data(),
                                       static_cast<DWORD>(t->request_.size()), t->answer_, sizeof t->answer_, &n, nullptr);
            t->error_ = t->ok_ ? 0 : ::GetLastError();
            t->returned_ = n;
            return 0;
        }, this, 0, nullptr);
    }
    bool Finish(HANDLE thread)
    {
        const bool done = ::WaitForSingleObject(thread, kWaitMs) == WAIT_OBJECT_0;
        ::CloseHandle(thread);
        return done;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET backend_ = INVALID_SOCKET;
    std::wstring path_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::string request_;
    unsigned char answer_[16] = {};
    BOOL ok_ = FALSE;
    DWORD error_ = 0;
    DWORD returned_ = 0;
};

TEST_F(StandinFs, ARequestReachesTheBackEndWholeAndItsAnswerComesBack)
{
    for (const std::uint32_t length : {8U, 64U, 65536U + 64U, 2U * 1024U * 1024U + 64U}) {
        const std::string request = Request(length, 2048);
        HANDLE t = Submit(request);
        if (backend_ == INVALID_SOCKET) {
            backend_ = ::accept(listener_, nullptr, nullptr);
            ASSERT_NE(backend_, INVALID_SOCKET);
        }
        std::string got;
        ASSERT_TRUE(RecvAll(backend_, got, length));
        EXPECT_TRUE(got == request) << length;
        const std::string answer = Request(16, static_cast<std::uint32_t>(-length));
        ASSERT_TRUE(SendAll(backend_, answer));
        ASSERT_TRUE(Finish(t));
        EXPECT_TRUE(ok_) << error_;
        EXPECT_EQ(returned_, 16U);
        EXPECT_EQ(std::memcmp(answer_, answer.data(), 16), 0);
    }
}

TEST_F(StandinFs, ARequestWhoseLengthFieldDisagreesIsRefused)
{
    std::string request = Request(64, 1);
    const std::uint32_t wrong = 65;
    std::memcpy(request.data(), &wrong, 4);
    HANDLE t = Submit(request);
    ASSERT_TRUE(Finish(t));
    EXPECT_FALSE(ok_);
    EXPECT_EQ(error_, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(StandinFs, AShortAnswerEndsTheDeviceUntilItIsOpenedAgain)
{
    HANDLE t = Submit(Request(64, 1));
    backend_ = ::accept(listener_, nullptr, nullptr);
    std::string got;
    ASSERT_TRUE(RecvAll(backend_, got, 64));
    ASSERT_TRUE(SendAll(backend_, std::string(8, '\x01')));
    ::closesocket(backend_);
    backend_ = INVALID_SOCKET;
    ASSERT_TRUE(Finish(t));
    EXPECT_TRUE(ok_);
    EXPECT_EQ(returned_, 8U);

    t = Submit(Request(64, 1));
    ASSERT_TRUE(Finish(t));
    EXPECT_FALSE(ok_) << "a request after the back end ended the conversation";

    ::CloseHandle(device_);
    device_ = Open(path_, 0);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    t = Submit(Request(64, 1));
    backend_ = ::accept(listener_, nullptr, nullptr);
    ASSERT_TRUE(RecvAll(backend_, got, 64));
    ASSERT_TRUE(SendAll(backend_, Request(16, 0)));
    ASSERT_TRUE(Finish(t));
    EXPECT_TRUE(ok_) << error_;
}

}  // namespace
