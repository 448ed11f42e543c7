// The virtio-fs device access against the simulated device and the host back end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "shared/lib/VioFsAPI.h"
#include "tools/VirtioFsBackend.h"
#include "fileshare/src/WireFormat.h"
#include "tests/support/SimMachineFixture.h"

namespace {

class VioFsSim : public quortest::SimMachineTest {
protected:
    // A READ reply request as the read worker lays it out.
    static std::vector<unsigned char> ReadReply(std::uint64_t unique, const std::string& data)
    {
        std::vector<unsigned char> req(64 + data.size(), 0);
        const std::uint32_t total = static_cast<std::uint32_t>(req.size());
        const std::uint32_t op = 2048;
        std::memcpy(req.data(), &total, 4);
        std::memcpy(req.data() + 4, &op, 4);
        quor::fs::ReplyHeader h {quor::fs::kReplyMagic, static_cast<std::uint32_t>(data.size()), quor::fs::FUSE_READ, 0,
                                 unique};
        std::memcpy(req.data() + 40, &h, sizeof h);
        std::memcpy(req.data() + 64, data.data(), data.size());
        return req;
    }
};

}  // namespace

TEST_F(VioFsSim, NoDeviceFailsInit)
{
    quortest::LogTail tail;
    quor::VioFsAPI fs;
    EXPECT_FALSE(fs.Init());
    EXPECT_TRUE(tail.Contains("Failed to get VioFs handle"));
}

TEST_F(VioFsSim, SubmissionAnswers)
{
    quorhost::VirtioFsBackend backend;
    ASSERT_TRUE(backend.Start());
    quor::VioFsAPI fs;
    ASSERT_TRUE(fs.Init());
    quortest::LogTail again;
    EXPECT_TRUE(fs.Init());
    EXPECT_TRUE(again.Contains("VioFsAPI already initialised!"));

    struct Case {
        std::int32_t error;
        std::uint32_t bytes;
        std::uint32_t lengthField;
        bool ok;
        const char* line;
    };
    // The short answer comes last: after it the simulated device has hung up.
    const Case cases[] = {
        {0, 16, 16, true, nullptr},
        {0, 16, 20, true, "Mismatch in Bytes Returned, Actual: 16, Expected: 20"},
        {-2, 16, 16, false, "Return error: -2"},
        {0, 12, 16, false, "Bytes Returned: 12, less than: 16"},
    };
    std::uint64_t unique = 100;
    for (const Case& c : cases) {
        backend.SetAnswer(c.error, c.bytes, c.lengthField);
        ++unique;
        const auto req = ReadReply(unique, "file data " + std::to_string(unique));
        quor::VioFsOutHeader out {};
        quortest::LogTail tail;
        EXPECT_EQ(fs.SubmitVioFsRequest(req.data(), static_cast<std::uint32_t>(req.size()), out), c.ok) << c.error;
        if (c.line != nullptr) {
            EXPECT_TRUE(tail.Contains(c.line)) << tail.Since();
        } else {
            EXPECT_EQ(tail.Since(), "");
            EXPECT_EQ(out.unique, unique);
        }
        quor::fs::ReplyHeader h {};
        std::vector<unsigned char> data;
        ASSERT_TRUE(backend.TakeReply(unique, h, data, 2000));
        EXPECT_EQ(h.magic, quor::fs::kReplyMagic);
        EXPECT_EQ(std::string(data.begin(), data.end()), "file data " + std::to_string(unique));
    }
    // The device is gone for good after it hung up.
    quortest::LogTail tail;
    const auto req = ReadReply(1, "x");
    quor::VioFsOutHeader out {};
    EXPECT_FALSE(fs.SubmitVioFsRequest(req.data(), static_cast<std::uint32_t>(req.size()), out));
    EXPECT_TRUE(tail.Contains("Failed to DeviceIoControl with error: "));
}
