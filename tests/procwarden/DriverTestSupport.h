// Test support for procwarden: a loaded driver per test and the user-mode service's side of
// the message channel.
#pragma once

#include "procwarden/procwarden.h"
#include "procwarden/shim/shim_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace pwtest {

using namespace std::chrono_literals;

inline constexpr auto kPatience = 5s;   // "this must happen" checks: only a failing test waits this long

inline const std::u16string kSendLink0 = u"\\DosDevices\\process_filter_send_0";
inline const std::u16string kRecvLink0 = u"\\DosDevices\\process_filter_recv_0";
inline const std::u16string kUninstallKey =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Example";
inline const std::u16string kUntrustedImage = u"\\??\\C:\\Users\\a\\x.exe";
inline const std::u16string kTrustedImage = u"\\??\\C:\\Windows\\System32\\notepad.exe";

// A message as the service reads it from a completed wait-for-message request.
struct Message {
    int16_t slot = 0;
    int16_t type = 0;
    uint64_t value1 = 0;
    uint64_t value2 = 0;
    uint16_t count = 0;
    std::u16string name;
};

std::vector<uint8_t> WaitInput(int16_t mode, uint16_t capacity = PW_MSG_NAME_MAX,
                               size_t size = PW_MSG_SIZE);
shim::RequestPtr IssueWait(PFILE_OBJECT device, int16_t mode, uint16_t capacity = PW_MSG_NAME_MAX,
                           ULONG size = PW_MSG_SIZE);
Message Parse(const shim::RequestPtr& request);
// Sends a reply and returns the completed request.
shim::RequestPtr SendReply(PFILE_OBJECT device, int16_t slot, int16_t verdict);
int16_t ReadShortAt(const std::vector<uint8_t>& bytes, size_t offset);

// A process creation on its own thread (it may block in the driver). If a test ends (fails)
// while the creation is still blocked, the destructor moves the virtual clock past the verdict
// time-out, so the creation ends and the test fails instead of hanging.
class Creation : public std::future<NTSTATUS> {
public:
    Creation(std::future<NTSTATUS>&& f) : std::future<NTSTATUS>(std::move(f)) {}
    Creation(Creation&&) = default;
    Creation& operator=(Creation&&) = default;
    ~Creation();
};
Creation CreateProcessAsync(const std::u16string& image, uint64_t pid, uint64_t ppid, uint64_t creator = 0);

std::string Joined(const std::vector<std::string>& lines);

// Waits until `state` holds (polling; a state, not a time, ends the wait); false if it does not
// within kPatience.
template <typename State>
bool WaitFor(State state) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!state()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// Hands a message to the channel the way the registry watcher does (no reply wanted).
bool SendNoWait(const std::u16string& name, SHORT type = PW_MSG_TYPE_REGISTRY);

// True when no byte of `bytes` is the shim's 0xCD fill of uninitialised request buffers.
bool NoFillBytes(const std::vector<uint8_t>& bytes);

// Fixture: a fresh shim and a started driver; afterwards the driver is unloaded and the shim
// must have seen no fault and no leaked pool.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void Unload();
    PFILE_OBJECT OpenDevice(const std::u16string& name = kSendLink0, const shim::Opener& opener = {});

    shim::Driver* driver_ = nullptr;
    bool loaded_ = false;
};

// Fixture for start-up failures: nothing is started by SetUp.
class DriverStartTest : public ::testing::Test {
protected:
    void SetUp() override { shim::Reset(); }
    void TearDown() override;
    NTSTATUS Start();

    shim::Driver* driver_ = nullptr;
    bool loaded_ = false;
};

}  // namespace pwtest
