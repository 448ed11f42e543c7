#include "tests/procwarden/DriverTestSupport.h"

#include <algorithm>
#include <cstring>

namespace pwtest {

std::vector<uint8_t> WaitInput(int16_t mode, uint16_t capacity, size_t size) {
    std::vector<uint8_t> input(size, 0);
    if (size >= PW_MSG_OFF_MODE_TYPE + 2) {
        std::memcpy(input.data() + PW_MSG_OFF_MODE_TYPE, &mode, sizeof(mode));
    }
    if (size >= PW_MSG_SIZE) {
        std::memcpy(input.data() + PW_MSG_OFF_COUNT, &capacity, sizeof(capacity));
    }
    return input;
}

shim::RequestPtr IssueWait(PFILE_OBJECT device, int16_t mode, uint16_t capacity, ULONG size) {
    return shim::DeviceIoControl(device, PW_IOCTL_WAIT_MESSAGE, WaitInput(mode, capacity, size), size);
}

int16_t ReadShortAt(const std::vector<uint8_t>& bytes, size_t offset) {
    int16_t value = 0;
    if (offset + sizeof(value) <= bytes.size()) {
        std::memcpy(&value, bytes.data() + offset, sizeof(value));
    }
    return value;
}

Message Parse(const shim::RequestPtr& request) {
    const std::vector<uint8_t> out = request->Output();
    Message m;
    if (out.size() < PW_MSG_SIZE) {
        ADD_FAILURE() << "message buffer of " << out.size() << " bytes";
        return m;
    }
    std::memcpy(&m.slot, out.data() + PW_MSG_OFF_SLOT, 2);
    std::memcpy(&m.type, out.data() + PW_MSG_OFF_MODE_TYPE, 2);
    std::memcpy(&m.value1, out.data() + PW_MSG_OFF_VALUE1, 8);
    std::memcpy(&m.value2, out.data() + PW_MSG_OFF_VALUE2, 8);
    std::memcpy(&m.count, out.data() + PW_MSG_OFF_COUNT, 2);
    const size_t bytes = std::min<size_t>(m.count, PW_MSG_NAME_MAX);
    m.name.resize(bytes / 2);
    std::memcpy(m.name.data(), out.data() + PW_MSG_OFF_NAME, m.name.size() * 2);
    return m;
}

shim::RequestPtr SendReply(PFILE_OBJECT device, int16_t slot, int16_t verdict) {
    std::vector<uint8_t> input(PW_REPLY_SIZE);
    std::memcpy(input.data() + PW_REPLY_OFF_SLOT, &slot, 2);
    std::memcpy(input.data() + PW_REPLY_OFF_VERDICT, &verdict, 2);
    auto request = shim::DeviceIoControl(device, PW_IOCTL_REPLY, input, PW_REPLY_SIZE);
    EXPECT_TRUE(request->Completed());
    return request;
}

Creation CreateProcessAsync(const std::u16string& image, uint64_t pid, uint64_t ppid, uint64_t creator) {
    return std::async(std::launch::async,
                      [image, pid, ppid, creator] { return shim::CreateProcess(image, pid, ppid, creator); });
}

Creation::~Creation() {
    if (!valid()) return;
    while (wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        shim::AdvanceTime(std::chrono::hours(24));
    }
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& line : lines) {
        all += line;
        if (all.empty() || all.back() != '\n') all += '\n';
    }
    return all;
}

void DriverTest::SetUp() {
    shim::Reset();
    ASSERT_EQ(shim::LoadDriver(DriverEntry, &driver_), STATUS_SUCCESS) << Joined(shim::Log());
    loaded_ = true;
}

void DriverTest::Unload() {
    if (loaded_) {
        shim::UnloadDriver(driver_);
        loaded_ = false;
    }
}

void DriverTest::TearDown() {
    Unload();
    EXPECT_TRUE(shim::Faults().empty()) << Joined(shim::Faults());
    EXPECT_EQ(shim::OutstandingAllocations(), 0u);
}

PFILE_OBJECT DriverTest::OpenDevice(const std::u16string& name, const shim::Opener& opener) {
    PFILE_OBJECT handle = nullptr;
    EXPECT_EQ(shim::Open(name, &handle, opener), STATUS_SUCCESS);
    return handle;
}

bool SendNoWait(const std::u16string& name, SHORT type) {
    std::u16string copy = name;
    UNICODE_STRING text{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2), copy.data()};
    PwMessage message{type, &text, 7, 9};
    return PwSendMessage(&message, FALSE, nullptr) == PwDelivered;
}

bool NoFillBytes(const std::vector<uint8_t>& bytes) {
    return std::find(bytes.begin(), bytes.end(), uint8_t{0xCD}) == bytes.end();
}

NTSTATUS DriverStartTest::Start() {
    const NTSTATUS status = shim::LoadDriver(DriverEntry, &driver_);
    loaded_ = NT_SUCCESS(status);
    return status;
}

void DriverStartTest::TearDown() {
    if (loaded_) {
        shim::UnloadDriver(driver_);
    }
    // A failed start must not leave anything behind either (the shim records leftovers).
    EXPECT_TRUE(shim::Faults().empty()) << Joined(shim::Faults());
    EXPECT_EQ(shim::OutstandingAllocations(), 0u);
}

}  // namespace pwtest
