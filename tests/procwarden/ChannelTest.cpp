// The message channel: the parked wait-for-message request, replies, slots, cancellation, unload.
#include "tests/procwarden/DriverTestSupport.h"

#include <cstring>

namespace pwtest {
namespace {

using ChannelTest = DriverTest;

TEST_F(ChannelTest, SecondWaitIsRejectedButChangesTheMode) {
    PFILE_OBJECT device = OpenDevice();
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
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    auto creation = CreateProcessAsync(kUntrustedImage, 20, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    const Message m = Parse(wait);
    ASSERT_EQ(m.slot, 0);
    ASSERT_TRUE(WaitFor([] { return shim::BlockedWaiters() == 1; }));

    for (int16_t slot : {int16_t{5}, int16_t{6}, int16_t{-1}, int16_t{0x7FFF}, int16_t{-32768}}) {
        auto reply = SendReply(device, slot, PW_VERDICT_BLOCK);
        EXPECT_EQ(reply->Status(), STATUS_SUCCESS) << slot;
        EXPECT_EQ(reply->Information(), PW_REPLY_SIZE) << slot;
        EXPECT_EQ(ReadShortAt(reply->Output(), PW_REPLY_OFF_VERDICT), PW_REPLY_ACK) << slot;
    }
    // The sender is still blocked on its slot: no stray reply woke it.
    EXPECT_EQ(shim::BlockedWaiters(), 1u);
    EXPECT_EQ(creation.wait_for(0s), std::future_status::timeout) << "a stray reply woke the sender";

    auto reply = SendReply(device, m.slot, 1);
    EXPECT_EQ(ReadShortAt(reply->Output(), PW_REPLY_OFF_VERDICT), PW_REPLY_ACK);
    ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(creation.get(), STATUS_SUCCESS);
}

// Who completes the parked request without data: an open of either device, a close of another
// handle (both as the design has it), or the cleanup of the handle the request came on (the
// last handle closed; IRP_MJ_CLOSE only follows once the request is gone).
struct ReleaseCase {
    const char* why;
    enum { kOpenOther, kCloseOther, kCloseOwn } how;
    NTSTATUS status;
    const char* logLine;
};

TEST_F(ChannelTest, OpenCloseAndCleanupCompleteThePendingRequestWithoutData) {
    const ReleaseCase cases[] = {
        {"open", ReleaseCase::kOpenOther, STATUS_SUCCESS, "[ProcessFilter] [Ioctl] Connect,clear pending irp\n"},
        {"close of another handle", ReleaseCase::kCloseOther, STATUS_SUCCESS,
         "[ProcessFilter] [Ioctl] Disconnect,clear pending irp\n"},
        {"close of its own handle", ReleaseCase::kCloseOwn, STATUS_CANCELLED,
         "[ProcessFilter] [Ioctl] Cleanup,clear pending irp\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        PFILE_OBJECT device = OpenDevice();
        PFILE_OBJECT other = OpenDevice(kRecvLink0);
        shim::ClearLog();
        auto wait = IssueWait(device, 1);
        ASSERT_FALSE(wait->Completed());
        switch (c.how) {
            case ReleaseCase::kOpenOther:
                OpenDevice(kRecvLink0);
                break;
            case ReleaseCase::kCloseOther:
                EXPECT_EQ(shim::Close(other), STATUS_SUCCESS);
                EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] Disconnect,\\DosDevices\\process_filter_recv_0\n"));
                break;
            case ReleaseCase::kCloseOwn:
                EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
                EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] Disconnect,\\DosDevices\\process_filter_send_0\n"));
                break;
        }
        ASSERT_TRUE(wait->Completed());
        EXPECT_EQ(wait->Status(), c.status);
        EXPECT_EQ(wait->Information(), 0u);
        EXPECT_TRUE(shim::LogHas(c.logLine)) << Joined(shim::Log());
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
    PFILE_OBJECT device = OpenDevice();
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

// A request that could never carry a message is refused when it arrives: parked, it would
// swallow every message and the service could not tell.
TEST_F(ChannelTest, UnusableWaitRequestsAreRefusedAtOnce) {
    struct Case {
        const char* why;
        uint16_t capacity;
        ULONG inputSize;
        ULONG outputSize;
    } cases[] = {
        {"capacity 0", 0, PW_MSG_SIZE, PW_MSG_SIZE},
        {"input one byte short", 1024, PW_MSG_SIZE - 1, PW_MSG_SIZE},
        {"output one byte short", 1024, PW_MSG_SIZE, PW_MSG_SIZE - 1},
        {"no output", 1024, PW_MSG_SIZE, 0},
        {"buffer far too small", 1024, 1000, 1000},
    };
    PFILE_OBJECT device = OpenDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto wait = shim::DeviceIoControl(device, PW_IOCTL_WAIT_MESSAGE, WaitInput(1, c.capacity, c.inputSize),
                                          c.outputSize);
        ASSERT_TRUE(wait->Completed());
        EXPECT_EQ(wait->Status(), STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(SendNoWait(u"\\some\\name"));
        // The process is not held up, and a usable request parks afterwards.
        auto creation = CreateProcessAsync(kUntrustedImage, 30, 4);
        ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(creation.get(), STATUS_SUCCESS);
        auto good = IssueWait(device, 1);
        EXPECT_FALSE(good->Completed());
        EXPECT_TRUE(SendNoWait(u"\\some\\name"));
        EXPECT_TRUE(good->Completed());
    }
}

TEST_F(ChannelTest, AllFiveSlotsBusyDropsEvenMessagesWithoutReply) {
    PFILE_OBJECT device = OpenDevice();
    std::vector<Creation> senders;
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

    // Closing the service's handle wakes the others; with no verdict they start.
    EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
    for (int i : {0, 1, 3, 4}) {
        ASSERT_EQ(senders[i].wait_for(kPatience), std::future_status::ready) << i;
        EXPECT_EQ(senders[i].get(), STATUS_SUCCESS) << i;
    }
}

TEST_F(ChannelTest, CancellingThePendingRequestWakesSendersAndDisarms) {
    PFILE_OBJECT device = OpenDevice();
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
    PFILE_OBJECT device = OpenDevice();
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
    PFILE_OBJECT device = OpenDevice();
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

// Only the reply's input matters; what comes back is the acknowledgement and zeros, never the
// uninitialised rest of the system buffer (the shim fills it with 0xCD).
TEST_F(ChannelTest, ReplyLengthsAndWhatComesBack) {
    struct Case {
        const char* why;
        ULONG inputSize;
        ULONG outputSize;
        NTSTATUS status;
        bool counts;  // the verdict reaches the sender
    } cases[] = {
        {"input 4, output 4", 4, 4, STATUS_SUCCESS, true},
        {"input 4, no output", 4, 0, STATUS_SUCCESS, true},
        {"input 4, output 8", 4, 8, STATUS_SUCCESS, true},
        {"input 4, output 64 KiB", 4, 65536, STATUS_SUCCESS, true},
        {"input 3", 3, 4, STATUS_INVALID_PARAMETER, false},
    };
    PFILE_OBJECT device = OpenDevice();
    uint64_t pid = 70;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto wait = IssueWait(device, 1);
        auto creation = CreateProcessAsync(kUntrustedImage, ++pid, 4);
        ASSERT_TRUE(wait->Wait(kPatience));
        const int16_t slot = Parse(wait).slot;
        std::vector<uint8_t> input(c.inputSize, 0);
        const int16_t verdict = PW_VERDICT_BLOCK;
        std::memcpy(input.data(), &slot, 2);
        if (c.inputSize >= 4) std::memcpy(input.data() + 2, &verdict, 2);
        auto reply = shim::DeviceIoControl(device, PW_IOCTL_REPLY, input, c.outputSize);
        ASSERT_TRUE(reply->Completed());
        EXPECT_EQ(reply->Status(), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(reply->Information(), c.outputSize);
            const auto out = reply->Output();
            ASSERT_EQ(out.size(), c.outputSize);
            EXPECT_TRUE(NoFillBytes(out));
            if (c.outputSize >= 4) {
                EXPECT_EQ(ReadShortAt(out, PW_REPLY_OFF_VERDICT), PW_REPLY_ACK);
            }
            for (size_t i = 4; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
        }
        if (!c.counts) {
            ASSERT_TRUE(WaitFor([] { return shim::BlockedWaiters() == 1; }));
            EXPECT_EQ(creation.wait_for(0s), std::future_status::timeout);
            SendReply(device, slot, 0);
        }
        ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(creation.get(), c.counts ? PW_STATUS_CREATION_VETOED : STATUS_SUCCESS);
    }
}

// A wait request whose output is longer than its input gets the message and zeros after it.
TEST_F(ChannelTest, MessageBufferReturnsNoUninitialisedBytes) {
    struct Case {
        const char* why;
        ULONG inputSize;
        ULONG outputSize;
    } cases[] = {
        {"exactly one message", PW_MSG_SIZE, PW_MSG_SIZE},
        {"output one byte longer", PW_MSG_SIZE, PW_MSG_SIZE + 1},
        {"large output", PW_MSG_SIZE, 64 * 1024},
        {"input longer than output", 4096, PW_MSG_SIZE},
    };
    PFILE_OBJECT device = OpenDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto wait = shim::DeviceIoControl(device, PW_IOCTL_WAIT_MESSAGE, WaitInput(1, 1024, c.inputSize), c.outputSize);
        ASSERT_FALSE(wait->Completed());
        ASSERT_TRUE(SendNoWait(u"\\short\\name"));
        ASSERT_TRUE(wait->Completed());
        EXPECT_EQ(wait->Information(), c.outputSize);
        const auto out = wait->Output();
        ASSERT_EQ(out.size(), c.outputSize);
        EXPECT_TRUE(NoFillBytes(out));
        EXPECT_EQ(Parse(wait).name, u"\\short\\name");
    }
}

// The service closes its handle while its request is parked and senders wait: cleanup
// completes the request, the senders start, and the channel accepts a new service.
TEST_F(ChannelTest, CleanupOfTheServiceHandleFreesRequestAndSenders) {
    PFILE_OBJECT device = OpenDevice();
    std::vector<Creation> senders;
    for (int i = 0; i < 3; ++i) {
        auto wait = IssueWait(device, 1);
        senders.push_back(CreateProcessAsync(kUntrustedImage, 80 + i, 4));
        ASSERT_TRUE(wait->Wait(kPatience));
    }
    auto parked = IssueWait(device, 1);
    ASSERT_TRUE(WaitFor([] { return shim::BlockedWaiters() == 3; }));

    EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);  // the shim refuses a close while the request is out
    ASSERT_TRUE(parked->Completed());
    EXPECT_EQ(parked->Status(), STATUS_CANCELLED);
    for (auto& s : senders) {
        ASSERT_EQ(s.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(s.get(), STATUS_SUCCESS);
    }
    PFILE_OBJECT next = OpenDevice();
    auto wait = IssueWait(next, 1);
    EXPECT_FALSE(wait->Completed());
    EXPECT_TRUE(SendNoWait(u"\\after\\cleanup"));
    EXPECT_TRUE(wait->Completed());
}

// A service that never answers holds a process start for the verdict time-out, not for ever;
// the abandoned slot stays out of use until its late reply, which then blocks nobody.
TEST_F(ChannelTest, VerdictTimeOutLetsTheProcessStart) {
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    auto first = CreateProcessAsync(kUntrustedImage, 101, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    ASSERT_EQ(Parse(wait).slot, 0);
    ASSERT_TRUE(WaitFor([] { return shim::TimedWaiters() == 1; }));

    shim::AdvanceTime(std::chrono::milliseconds(PW_VERDICT_TIMEOUT_MS - 1));
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout) << "gave up before the time-out";
    EXPECT_EQ(shim::TimedWaiters(), 1u);
    shim::AdvanceTime(1ms);
    ASSERT_EQ(first.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(first.get(), STATUS_SUCCESS);
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] No verdict in 30000 ms,101\n")) << Joined(shim::Log());

    // Slot 0 is still taken: the next sender gets slot 1.
    wait = IssueWait(device, 1);
    auto second = CreateProcessAsync(kUntrustedImage, 102, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    EXPECT_EQ(Parse(wait).slot, 1);
    // The late reply for the first process frees slot 0 and does not reach the second.
    SendReply(device, 0, PW_VERDICT_BLOCK);
    EXPECT_EQ(second.wait_for(0s), std::future_status::timeout);
    wait = IssueWait(device, 1);
    auto third = CreateProcessAsync(kUntrustedImage, 103, 4);
    ASSERT_TRUE(wait->Wait(kPatience));
    EXPECT_EQ(Parse(wait).slot, 0);
    SendReply(device, 1, 0);
    SendReply(device, 0, PW_VERDICT_BLOCK);
    ASSERT_EQ(second.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(second.get(), STATUS_SUCCESS);
    ASSERT_EQ(third.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(third.get(), PW_STATUS_CREATION_VETOED);
}

// With every slot abandoned by a hung service, later starts are not held at all.
TEST_F(ChannelTest, HungServiceCostsAtMostOneTimeOutPerSlot) {
    PFILE_OBJECT device = OpenDevice();
    for (int i = 0; i < PW_SLOT_COUNT; ++i) {
        auto wait = IssueWait(device, 1);
        auto creation = CreateProcessAsync(kUntrustedImage, 110 + i, 4);
        ASSERT_TRUE(wait->Wait(kPatience));
        ASSERT_TRUE(WaitFor([] { return shim::TimedWaiters() == 1; }));
        shim::AdvanceTime(std::chrono::milliseconds(PW_VERDICT_TIMEOUT_MS));
        ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(creation.get(), STATUS_SUCCESS);
    }
    auto wait = IssueWait(device, 1);
    auto unheld = CreateProcessAsync(kUntrustedImage, 120, 4);
    ASSERT_EQ(unheld.wait_for(kPatience), std::future_status::ready) << "held by a hung service";
    EXPECT_EQ(unheld.get(), STATUS_SUCCESS);
    EXPECT_FALSE(wait->Completed());
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] GetIdleMessage: Fail\n"));
    // The service going away frees the abandoned slots.
    EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
    PFILE_OBJECT again = OpenDevice();
    wait = IssueWait(again, 1);
    EXPECT_TRUE(SendNoWait(u"\\room"));
    EXPECT_TRUE(wait->Completed());
}

}  // namespace
}  // namespace pwtest
