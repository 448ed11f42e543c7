// The process-creation veto and the uninstall-registry watcher, driven through the shim.
#include "tests/procwarden/DriverTestSupport.h"

namespace pwtest {
namespace {

using WatcherTest = DriverTest;

struct VetoCase {
    const char* why;
    int16_t mode;
    std::u16string image;
    int16_t verdict;
    bool reported;
    int16_t type;
    NTSTATUS creationStatus;
};

TEST_F(WatcherTest, ProcessCreationVerdicts) {
    const VetoCase cases[] = {
        {"untrusted, blocked", 1, kUntrustedImage, PW_VERDICT_BLOCK, true, PW_MSG_TYPE_PROCESS, PW_STATUS_CREATION_VETOED},
        {"untrusted, allowed", 1, kUntrustedImage, 0, true, PW_MSG_TYPE_PROCESS, STATUS_SUCCESS},
        {"untrusted, other verdict", -1, kUntrustedImage, 33, true, PW_MSG_TYPE_PROCESS, STATUS_SUCCESS},
        {"trusted, not reported", 1, kTrustedImage, PW_VERDICT_BLOCK, false, 0, STATUS_SUCCESS},
        {"mode 4 reports trusted, never blocks", PW_MODE_REPORT_ALL, kTrustedImage, PW_VERDICT_BLOCK, true,
         PW_MSG_TYPE_PROCESS_REPORT, STATUS_SUCCESS},
        {"mode 4 reports untrusted, never blocks", PW_MODE_REPORT_ALL, kUntrustedImage, PW_VERDICT_BLOCK, true,
         PW_MSG_TYPE_PROCESS_REPORT, STATUS_SUCCESS},
    };
    PFILE_OBJECT device = OpenDevice();
    uint64_t pid = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        OpenDevice();  // clears a request left over from the previous case
        auto wait = IssueWait(device, c.mode);
        ++pid;
        auto creation = CreateProcessAsync(c.image, pid, 4);
        if (c.reported) {
            ASSERT_TRUE(wait->Wait(kPatience));
            const Message m = Parse(wait);
            EXPECT_EQ(m.type, c.type);
            EXPECT_EQ(m.value1, pid);
            EXPECT_EQ(m.value2, 4u);
            EXPECT_EQ(m.name, c.image);
            EXPECT_EQ(m.count, c.image.size() * 2);
            EXPECT_GE(m.slot, 0);
            ASSERT_TRUE(WaitFor([] { return shim::BlockedWaiters() == 1; })) << "did not wait for the verdict";
            EXPECT_EQ(creation.wait_for(0s), std::future_status::timeout);
            SendReply(device, m.slot, c.verdict);
        }
        ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(creation.get(), c.creationStatus);
        if (!c.reported) {
            EXPECT_FALSE(wait->Completed());
        }
    }
}

TEST_F(WatcherTest, NoServiceWaitingLetsProcessesStart) {
    for (const auto& image : {kUntrustedImage, kTrustedImage}) {
        EXPECT_EQ(shim::CreateProcess(image, 1, 4), STATUS_SUCCESS);
    }
    // Nothing was queued for later: a request parked now stays empty.
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    EXPECT_FALSE(wait->Completed());
}

TEST_F(WatcherTest, ExitAndNamelessCreationsAreIgnored) {
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, PW_MODE_REPORT_ALL);
    shim::ExitProcess(5);
    EXPECT_EQ(shim::CreateProcess(u"", 6, 4), STATUS_SUCCESS);
    EXPECT_FALSE(wait->Completed());
}

struct RegistryCase {
    const char* why;
    std::u16string key;
    std::u16string value;
    REG_NOTIFY_CLASS notifyClass;
    bool reported;
};

TEST_F(WatcherTest, UninstallStringWrites) {
    const std::u16string elsewhere = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Example\\Settings";
    const RegistryCase cases[] = {
        {"exact case", kUninstallKey, u"UninstallString", RegNtPostSetValueKey, true},
        {"lower case", kUninstallKey, u"uninstallstring", RegNtPostSetValueKey, true},
        {"upper case", kUninstallKey, u"UNINSTALLSTRING", RegNtPostSetValueKey, true},
        {"WOW6432Node", u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A}",
         u"UninstallString", RegNtPostSetValueKey, true},
        {"other key", elsewhere, u"UninstallString", RegNtPostSetValueKey, false},
        {"key part in other case", u"\\REGISTRY\\MACHINE\\SOFTWARE\\currentversion\\uninstall\\x", u"UninstallString",
         RegNtPostSetValueKey, false},
        {"the Uninstall key itself", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
         u"UninstallString", RegNtPostSetValueKey, false},
        {"other value", kUninstallKey, u"DisplayName", RegNtPostSetValueKey, false},
        {"longer value name", kUninstallKey, u"UninstallStringX", RegNtPostSetValueKey, false},
        {"before the write", kUninstallKey, u"UninstallString", RegNtPreSetValueKey, false},
    };
    PFILE_OBJECT device = OpenDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        shim::ClearLog();
        OpenDevice();  // clears a request left over from the previous case
        auto wait = IssueWait(device, 1);
        EXPECT_EQ(shim::SetRegistryValue(c.key, c.value, c.notifyClass), STATUS_SUCCESS);
        EXPECT_EQ(wait->Completed(), c.reported);
        EXPECT_EQ(shim::LogCount("[Uninstall Set]"), c.reported ? 1u : 0u);
        if (!c.reported) continue;
        const Message m = Parse(wait);
        EXPECT_EQ(m.type, PW_MSG_TYPE_REGISTRY);
        EXPECT_EQ(m.slot, -1);
        EXPECT_EQ(m.value1, 0u);
        EXPECT_EQ(m.value2, 0u);
        EXPECT_EQ(m.name, c.key);
        EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Uninstall Set]," + shim::ToUtf8(c.value) + "," +
                                 shim::ToUtf8(c.key) + " \n"))
            << Joined(shim::Log());
    }
}

TEST_F(WatcherTest, KeyNameTooLongForTheQueryIsSkipped) {
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    const std::u16string longKey = kUninstallKey + std::u16string(600, u'k');
    EXPECT_EQ(shim::SetRegistryValue(longKey, u"UninstallString"), STATUS_SUCCESS);
    EXPECT_FALSE(wait->Completed());
    EXPECT_EQ(shim::OutstandingAllocations(PW_TAG_NAME_QUERY), 0u);
}

TEST_F(WatcherTest, QueryBufferAllocationFailureIsSkipped) {
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    shim::FailAllocation(PW_TAG_NAME_QUERY);
    EXPECT_EQ(shim::SetRegistryValue(kUninstallKey, u"UninstallString"), STATUS_SUCCESS);
    EXPECT_FALSE(wait->Completed());
    EXPECT_EQ(shim::SetRegistryValue(kUninstallKey, u"UninstallString"), STATUS_SUCCESS);
    EXPECT_TRUE(wait->Completed());
}

// A write that failed installed nothing, and its key object must not be used (the shim hands
// an invalid one and records a fault if it is queried).
TEST_F(WatcherTest, FailedRegistryWriteIsIgnored) {
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    for (NTSTATUS failure : {STATUS_ACCESS_DENIED, STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_NAME_NOT_FOUND}) {
        EXPECT_EQ(shim::SetRegistryValue(kUninstallKey, u"UninstallString", RegNtPostSetValueKey, failure),
                  STATUS_SUCCESS);
    }
    EXPECT_FALSE(wait->Completed());
    EXPECT_EQ(shim::LogCount("[Uninstall Set]"), 0u);
    EXPECT_EQ(shim::SetRegistryValue(kUninstallKey, u"UninstallString"), STATUS_SUCCESS);
    EXPECT_TRUE(wait->Completed());
}

// Unload while a registry notification is in the middle of its work: unload waits for it,
// and the notification finishes with nothing leaked (the fixture checks pool and faults).
TEST_F(WatcherTest, UnloadWhileARegistryNotificationRuns) {
    PFILE_OBJECT device = OpenDevice();
    auto wait = IssueWait(device, 1);
    shim::HoldNameQueries(true);
    auto write = std::async(std::launch::async, [] { return shim::SetRegistryValue(kUninstallKey, u"UninstallString"); });
    ASSERT_TRUE(WaitFor([] { return shim::HeldNameQueries() == 1; }));
    EXPECT_EQ(shim::OutstandingAllocations(PW_TAG_NAME_QUERY), 1u);
    auto unload = std::async(std::launch::async, [this] { Unload(); });
    ASSERT_TRUE(WaitFor([] { return shim::RemovalsWaitingForCallouts() == 1; }));
    EXPECT_EQ(unload.wait_for(0s), std::future_status::timeout) << "unload did not wait for the callout";
    shim::HoldNameQueries(false);
    ASSERT_EQ(write.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(write.get(), STATUS_SUCCESS);
    ASSERT_EQ(unload.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(shim::OutstandingAllocations(PW_TAG_NAME_QUERY), 0u);
    ASSERT_TRUE(wait->Completed());
}

// A process the service's own process creates is never held for a verdict (the service may be
// creating it from the thread that would answer); it is still reported. Other processes are
// held, including one whose parent is the service but whose creator is not.
TEST_F(WatcherTest, TheServicesOwnChildIsNeverHeld) {
    struct Case {
        const char* why;
        int16_t mode;
        uint64_t parent;
        uint64_t creator;
        bool held;
        int16_t type;
    } cases[] = {
        {"created by the service", 1, shim::kServiceProcessId, shim::kServiceProcessId, false, PW_MSG_TYPE_PROCESS},
        {"created by the service, mode 4", PW_MODE_REPORT_ALL, shim::kServiceProcessId, shim::kServiceProcessId, false,
         PW_MSG_TYPE_PROCESS_REPORT},
        {"service named as parent by another creator", 1, shim::kServiceProcessId, 77, true, PW_MSG_TYPE_PROCESS},
        {"unrelated", 1, 4, 4, true, PW_MSG_TYPE_PROCESS},
    };
    PFILE_OBJECT device = OpenDevice();
    uint64_t pid = 200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto wait = IssueWait(device, c.mode);
        ++pid;
        if (!c.held) {
            auto creation = CreateProcessAsync(kUntrustedImage, pid, c.parent, c.creator);
            ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready) << "held";
            EXPECT_EQ(creation.get(), STATUS_SUCCESS);
            ASSERT_TRUE(wait->Completed());
            const Message m = Parse(wait);
            EXPECT_EQ(m.slot, -1);
            EXPECT_EQ(m.type, c.type);
            EXPECT_EQ(m.value1, pid);
            continue;
        }
        auto creation = CreateProcessAsync(kUntrustedImage, pid, c.parent, c.creator);
        ASSERT_TRUE(wait->Wait(kPatience));
        const Message m = Parse(wait);
        EXPECT_GE(m.slot, 0);
        SendReply(device, m.slot, PW_VERDICT_BLOCK);
        ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(creation.get(), PW_STATUS_CREATION_VETOED);
    }
    // Once the service's handle is cleaned up, its process id is nobody's: a later process of
    // that id is held again.
    EXPECT_EQ(shim::Close(device), STATUS_SUCCESS);
    PFILE_OBJECT other = OpenDevice(kSendLink0, shim::Opener{901, true});
    auto wait = IssueWait(other, 1);
    auto creation = CreateProcessAsync(kUntrustedImage, 300, shim::kServiceProcessId, shim::kServiceProcessId);
    ASSERT_TRUE(wait->Wait(kPatience));
    EXPECT_GE(Parse(wait).slot, 0);
    SendReply(other, Parse(wait).slot, 0);
    ASSERT_EQ(creation.wait_for(kPatience), std::future_status::ready);
}

}  // namespace
}  // namespace pwtest
