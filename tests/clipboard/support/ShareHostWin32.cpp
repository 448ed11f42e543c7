#include "tests/clipboard/support/ShareHost.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/support/TestLog.h"

namespace quortest {

namespace {

// The file-share server as far as the clipboard side needs it, with no device behind it.
class StandInServer final : public quor::fs::FuseServerInterface {
public:
    bool Start(std::uint32_t) override { return true; }
    bool AddShareName(const std::string&, const std::unordered_map<std::string, std::string>&, std::int64_t, bool,
                      bool) override
    {
        return true;
    }
    std::int32_t RemoveShareName(const std::string&, bool) override { return 0; }
    bool GetShareAccessTime(const std::string&, std::int64_t&) override { return false; }
    quor::platform::PortHandle GetPortHandle() override { return quor::platform::kInvalidPort; }
    void OnPortStatus(bool) override {}
};

// One overlapped transfer on the host's end, waited for at most `timeoutMs`.
bool Transfer(HANDLE pipe, bool write, void* data, DWORD length, DWORD timeoutMs, DWORD& done)
{
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    done = 0;
    BOOL ok = write ? ::WriteFile(pipe, data, length, &done, &ov) : ::ReadFile(pipe, data, length, &done, &ov);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            (void)::CancelIoEx(pipe, &ov);
        }
        ok = ::GetOverlappedResult(pipe, &ov, &done, TRUE);
    }
    ::CloseHandle(ov.hEvent);
    return ok != FALSE;
}

}  // namespace

struct ShareHost::Impl {
    bool fileShareDevice = true;
    HANDLE host = INVALID_HANDLE_VALUE;
};

ShareHost::ShareHost(bool fileShareDevice) : impl_(std::make_unique<Impl>())
{
    ProcessLogPath();
    impl_->fileShareDevice = fileShareDevice;
}

ShareHost::~ShareHost()
{
    if (impl_->host != INVALID_HANDLE_VALUE) {
        ::CloseHandle(impl_->host);
    }
}

std::unique_ptr<quor::fs::FuseServerInterface> ShareHost::Server()
{
    if (!impl_->fileShareDevice) {
        return nullptr;  // the program's own server, which finds no device here
    }
    return std::make_unique<StandInServer>();
}

std::uint32_t ShareHost::Configure(quor::ShareMgr& mgr)
{
    static int counter = 0;
    const std::wstring name = L"\\\\.\\pipe\\quortest-clip-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    impl_->host = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    EXPECT_NE(impl_->host, INVALID_HANDLE_VALUE);
    HANDLE guest = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(guest, INVALID_HANDLE_VALUE);
    // An opened port is kept by the transport's open step.
    mgr.Transport().Port().Adopt(reinterpret_cast<quor::platform::PortHandle>(guest), 3);
    mgr.Transport().SetTimingsForTest(50, 1);
    return mgr.InitConfiguration();
}

bool ShareHost::Send(const std::vector<unsigned char>& bytes)
{
    DWORD done = 0;
    return Transfer(impl_->host, true, const_cast<unsigned char*>(bytes.data()), static_cast<DWORD>(bytes.size()), 30000,
                    done) &&
           done == bytes.size();
}

bool ShareHost::Recv(unsigned char* data, std::size_t length, int timeoutMs)
{
    std::size_t have = 0;
    while (have < length) {
        DWORD done = 0;
        if (!Transfer(impl_->host, false, data + have, static_cast<DWORD>(length - have), static_cast<DWORD>(timeoutMs),
                      done) ||
            done == 0) {
            return false;
        }
        have += done;
    }
    return true;
}

}  // namespace quortest
