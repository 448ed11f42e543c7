// The message channel: the parked wait-for-message request, replies, slots, cancellation, unload.
#include "DriverTestSupport.h"

namespace pwtest {
namespace {

using ChannelTest = DriverTest;

// Sends a message the way the watchers do, without waiting for a verdict.
BOOLEAN SendNoWait(const std::u16string& name, SHORT type = PW_MSG_TYPE_REGISTRY) {
    std::u16string copy = name;
    UNICODE_STRING text{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2), copy.data()};
    PwMessage message{type, &text, 7, 9};
    return PwSendMessage(&message, FALSE, nullptr);
}

TEST_F(ChannelTest, SecondWaitIsRejectedButChangesTheMode) {
    PDEVICE_OBJECT device = OpenDevice();
    auto first = IssueWait(device, 1);
    EXPECT_FALSE(first->Completed());
    EXPECT_EQ(first->DispatchStatus(), STATUS_PENDING);

    auto second = IssueWait(device, PW_MODE_REPORT_ALL);
    ASSERT_TRUE(second->Completed());
    EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Completed());

    // Mode 4 took effect: a trusted image is now reported, on the first request.
    auto creation = CreateProcessAsync(kTrustedImage, 10, 4);
    ASSERT_TRUE(first->Wait(kPatience));
    const Message m = Parse(first);
    EXPECT_EQ(m.type, PW_MSG_TYPE_PROCESS_REPORT);
    SendReply(device, m.slot, 0);
    ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
}

TEST_F(ChannelTest, ReplyOutsideTheSlotRangeChangesNothing) {
    PDEVICE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    auto creation = CreateProcessAsync(kUntrustedImage, 20, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    const Message m = Parse(wait);
    ASSERT_EQ(m.slot, 0);

    for (int16_t slot : {int16_t{5}, int16_t{6}, int16_t{-1}, int16_t{0x7FFF}, int16_t{-32768}}) {
        auto reply = SendReply(device, slot, PW_VERDICT_BLOCK);
        EXPECT_EQ(reply->Status(), STATUS_SUCCESS) << slot;
        EXPECT_EQ(reply->Information(), PW_REPLY_SIZE) << slot;
        EXPECT_EQ(ReadShortAt(reply->Output(), PW_REPLY_OFF_VERDICT), PW_REPLY_ACK) << slot;
    }
    EXPECT_EQ(creation.wait_for(kSettle), std::future_status::timeout) << "a stray reply woke the sender";

    auto reply = SendReply(device, m.slot, 1);
    EXPECT_EQ(ReadShortAt(reply->Output(), PW_REPLY_OFF_VERDICT), PW_REPLY_ACK);
    ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(creation.get(), STATUS_SUCCESS);
}

struct ReleaseCase {
    const char* why;
    bool close;  // else: open the other device
    const char* logLine;
};

TEST_F(ChannelTest, CreateAndCloseCompleteThePendingRequestWithoutData) {
    const ReleaseCase cases[] = {
        {"open", false, "[ProcessFilter] [Ioctl] Connect,clear pending irp\n"},
        {"close", true, "[ProcessFilter] [Ioctl] Disconnect,clear pending irp\n"},
    };
    PDEVICE_OBJECT device = OpenDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        shim::ClearLog();
        auto wait = IssueWait(device, 1);
        ASSERT_FALSE(wait->Completed());
        if (c.close) {
            EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
            EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] Disconnect,\\DosDevices\\process_filter_send_0\n"));
        } else {
            OpenDevice(kRecvLink0);
        }
        ASSERT_TRUE(wait->Completed());
        EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait->Information(), 0u);
        EXPECT_TRUE(shim::LogHas(c.logLine));
        // The channel is idle again: nothing to deliver to.
        EXPECT_FALSE(SendNoWait(u"\\x"));
    }
}

TEST_F(ChannelTest, NameIsCutToTheCapacity) {
    struct Case {
        uint16_t capacity;
        size_t nameUnits;
        uint16_t expectedBytes;
    } cases[] = {
        {1024, 20, 40},
        {1024, 512, 1024},
        {10, 20, 10},
        {1, 3, 1},
        {2000, 700, 1024},    // a capacity beyond the name area is held to the name area
        {0xFFFF, 600, 1024},
    };
    PDEVICE_OBJECT device = OpenDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::u16string name;
        for (size_t i = 0; i < c.nameUnits; ++i) name += static_cast<char16_t>(u'A' + i % 26);
        auto wait = IssueWait(device, 1, c.capacity);
        ASSERT_TRUE(SendNoWait(name));
        ASSERT_TRUE(wait->Completed());
        EXPECT_EQ(wait->Information(), PW_MSG_SIZE);
        const Message m = Parse(wait);
        EXPECT_EQ(m.count, c.expectedBytes);
        EXPECT_EQ(m.slot, -1);
        EXPECT_EQ(m.type, PW_MSG_TYPE_REGISTRY);
        EXPECT_EQ(m.value1, 7u);
        EXPECT_EQ(m.value2, 9u);
        const auto out = wait->Output();
        EXPECT_EQ(0, std::memcmp(out.data() + PW_MSG_OFF_NAME, name.data(), c.expectedBytes));
    }
}

TEST_F(ChannelTest, UnusableRequestsDropTheMessageAndStayParked) {
    struct Case {
        const char* why;
        uint16_t capacity;
        ULONG size;
    } cases[] = {
        {"capacity 0", 0, PW_MSG_SIZE},
        {"buffer smaller than a message", 1024, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        PDEVICE_OBJECT device = OpenDevice();  // completes any earlier request
        auto wait = IssueWait(device, 1, c.capacity, c.size);
        EXPECT_FALSE(SendNoWait(u"\\some\\name"));
        EXPECT_FALSE(wait->Completed());
        // The process is not held up by a message that cannot be delivered.
        auto creation = CreateProcessAsync(kUntrustedImage, 30, 4);
        ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(creation.get(), STATUS_SUCCESS);
        EXPECT_FALSE(wait->Completed());
    }
}

TEST_F(ChannelTest, AllFiveSlotsBusyDropsEvenMessagesWithoutReply) {
    PDEVICE_OBJECT device = OpenDevice();
    std::vector<std::future<NTSTATUS>> senders;
    for (int16_t i = 0; i < PW_SLOT_COUNT; ++i) {
        auto wait = IssueWait(device, 1);
        senders.push_back(CreateProcessAsync(kUntrustedImage, 100 + i, 4));
        ASSERT_TRUE(wait->Wait(kPatience));
        EXPECT_EQ(Parse(wait).slot, i);
    }
    auto wait = IssueWait(device, 1);
    EXPECT_FALSE(SendNoWait(u"\\no\\room"));
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] GetIdleMessage: Fail\n"));
    auto sixth = CreateProcessAsync(kUntrustedImage, 200, 4);
    ASSERT_EQ(sixth.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(sixth.get(), STATUS_SUCCESS);
    EXPECT_FALSE(wait->Completed());

    // A reply frees its slot for the next message.
    SendReply(device, 2, PW_VERDICT_BLOCK);
    ASSERT_EQ(senders[2].wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(senders[2].get(), PW_STATUS_CREATION_VETOED);
    EXPECT_TRUE(SendNoWait(u"\\room\\again"));
    ASSERT_TRUE(wait->Completed());

    // Close wakes the others; with no verdict they start.
    EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
    for (int i : {0, 1, 3, 4}) {
        ASSERT_EQ(senders[i].wait_for(kPatience), std::future_status::ready) << i;
        EXPECT_EQ(senders[i].get(), STATUS_SUCCESS) << i;
    }
}

TEST_F(ChannelTest, CancellingThePendingRequestWakesSendersAndDisarms) {
    PDEVICE_OBJECT device = OpenDevice();
    auto first = IssueWait(device, 1);
    auto sender = CreateProcessAsync(kUntrustedImage, 40, 4);
    ASSERT_TRUE(first->Wait(kPatience));

    auto second = IssueWait(device, 1);
    ASSERT_TRUE(shim::Cancel(second));
    ASSERT_TRUE(second->Completed());
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_EQ(second->Information(), 0u);
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] CancelIrp\n"));
    ASSERT_EQ(sender.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(sender.get(), STATUS_SUCCESS);

    // Forgotten: a new request parks, and a second cancel of the old one finds nothing.
    EXPECT_FALSE(shim::Cancel(second));
    auto third = IssueWait(device, 1);
    EXPECT_FALSE(third->Completed());
    EXPECT_TRUE(SendNoWait(u"\\after\\cancel"));
    EXPECT_TRUE(third->Completed());
}

// A waiter woken by Close reads no verdict, even if its slot held a blocking verdict for an
// earlier message.
TEST_F(ChannelTest, StaleVerdictDoesNotBlockTheNextProcess) {
    PDEVICE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    auto first = CreateProcessAsync(kUntrustedImage, 50, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    SendReply(device, Parse(wait).slot, PW_VERDICT_BLOCK);
    ASSERT_EQ(first.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(first.get(), PW_STATUS_CREATION_VETOED);

    wait = IssueWait(device, 1);
    auto second = CreateProcessAsync(kUntrustedImage, 51, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    EXPECT_EQ(Parse(wait).slot, 0);
    EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
    ASSERT_EQ(second.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(second.get(), STATUS_SUCCESS);
}

// Unload while the service has a request parked and a process creation waits for a verdict:
// neither hangs, the parked request completes without data, the creation goes ahead.
TEST_F(ChannelTest, UnloadWithParkedRequestAndWaitingSender) {
    PDEVICE_OBJECT device = OpenDevice();
    auto first = IssueWait(device, 1);
    auto sender = CreateProcessAsync(kUntrustedImage, 60, 4);
    ASSERT_TRUE(first->Wait(kPatience));
    auto parked = IssueWait(device, 1);
    ASSERT_FALSE(parked->Completed());

    auto unload = std::async(std::launch::async, [this] { Unload(); });
    ASSERT_EQ(unload.wait_for(kPatience), std::future_status::ready) << "unload hangs";
    ASSERT_EQ(sender.wait_for(kPatience), std::future_status::ready) << "sender still blocked";
    EXPECT_EQ(sender.get(), STATUS_SUCCESS);
    ASSERT_TRUE(parked->Completed());
    EXPECT_EQ(parked->Status(), STATUS_SUCCESS);
    EXPECT_EQ(parked->Information(), 0u);
}

}  // namespace
}  // namespace pwtest
