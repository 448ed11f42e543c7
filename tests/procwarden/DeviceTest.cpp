// Start, stop, the two devices with their links, and the dispatch routines outside the channel.
#include "tests/procwarden/DriverTestSupport.h"

namespace pwtest {
namespace {

std::u16string Indexed(const char16_t* prefix, int i) {
    std::u16string name = prefix;
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    return name;
}

const char16_t kSendDev[] = u"\\Device\\process_filter_send_";
const char16_t kSendLink[] = u"\\DosDevices\\process_filter_send_";
const char16_t kRecvDev[] = u"\\Device\\process_filter_recv_";
const char16_t kRecvLink[] = u"\\DosDevices\\process_filter_recv_";

UCHAR ExtensionOf(PFILE_OBJECT handle) { return *static_cast<UCHAR*>(handle->DeviceObject->DeviceExtension); }

TEST_F(DriverTest, StartCreatesBothDevicesLinksAndRegistrations) {
    EXPECT_EQ(shim::LinkTarget(kSendLink0), Indexed(kSendDev, 0));
    EXPECT_EQ(shim::LinkTarget(kRecvLink0), Indexed(kRecvDev, 0));
    EXPECT_EQ(shim::ProcessNotifyRoutineCount(), 1u);
    EXPECT_EQ(shim::RegistryCallbackCount(), 1u);
    EXPECT_EQ(shim::LastRegistryAltitude(), u"321999");
    EXPECT_EQ(shim::OutstandingAllocations(PW_TAG_NAME), 4u);

    PFILE_OBJECT send = OpenDevice(kSendLink0);
    PFILE_OBJECT recv = OpenDevice(kRecvLink0);
    ASSERT_NE(send, nullptr);
    ASSERT_NE(recv, nullptr);
    EXPECT_EQ(ExtensionOf(send), PW_SEND_DEVICE_TAG);
    EXPECT_EQ(ExtensionOf(recv), PW_RECV_DEVICE_TAG);
    EXPECT_TRUE(send->DeviceObject->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(send->DeviceObject->Characteristics & FILE_DEVICE_SECURE_OPEN);
    EXPECT_TRUE(recv->DeviceObject->Characteristics & FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(send->DeviceObject->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));

    for (const char* line : {
             "[ProcessFilter] Process Filter Driver Entry>>>>>>>>\n",
             "[ProcessFilter] [Ioctl] Create Device,\\Device\\process_filter_send_0, Succeed\n",
             "[ProcessFilter] [Ioctl] Create Symbolic,\\DosDevices\\process_filter_send_0, Succeed\n",
             "[ProcessFilter] [Ioctl] Create Device,\\Device\\process_filter_recv_0, Succeed\n",
             "[ProcessFilter] [Ioctl] Create Symbolic,\\DosDevices\\process_filter_recv_0, Succeed\n",
             "[ProcessFilter] SetCreateProcessNotify: Succeed\n",
             "[ProcessFilter] InstallRegistryCallback: Succeed\n",
             "[ProcessFilter] [Ioctl] Connect,\\DosDevices\\process_filter_send_0\n",
             "[ProcessFilter] [Ioctl] Connect,\\DosDevices\\process_filter_recv_0\n",
         }) {
        EXPECT_TRUE(shim::LogHas(line)) << line << "\nlog:\n" << Joined(shim::Log());
    }
}

TEST_F(DriverTest, UnloadRemovesEverything) {
    Unload();
    for (const auto& name : {Indexed(kSendDev, 0), Indexed(kSendLink, 0), Indexed(kRecvDev, 0), Indexed(kRecvLink, 0)}) {
        EXPECT_FALSE(shim::NameExists(name)) << shim::ToUtf8(name);
    }
    EXPECT_EQ(shim::ProcessNotifyRoutineCount(), 0u);
    EXPECT_EQ(shim::RegistryCallbackCount(), 0u);
    for (const char* line : {
             "[ProcessFilter] Process Filter Driver Unload<<<<<<<<\n",
             "[ProcessFilter] [Ioctl] Delete send device,\\Device\\process_filter_send_0\n",
             "[ProcessFilter] [Ioctl] Delete receive device,\\Device\\process_filter_recv_0\n",
             "[ProcessFilter] [Ioctl] Delete send symbolic link,\\DosDevices\\process_filter_send_0\n",
             "[ProcessFilter] [Ioctl] Delete receive symbolic link,\\DosDevices\\process_filter_recv_0\n",
         }) {
        EXPECT_TRUE(shim::LogHas(line)) << line;
    }
}

TEST_F(DriverTest, DeviceControlRejectsUnknownCodesAndMissingBuffers) {
    PFILE_OBJECT device = OpenDevice();
    auto unknown = shim::DeviceIoControl(device, 0x0022E00C, std::vector<uint8_t>(8), 8);
    EXPECT_EQ(unknown->Status(), STATUS_INVALID_DEVICE_REQUEST);
    for (ULONG code : {PW_IOCTL_WAIT_MESSAGE, PW_IOCTL_REPLY}) {
        auto noBuffer = shim::DeviceIoControlNoBuffer(device, code);
        ASSERT_TRUE(noBuffer->Completed());
        EXPECT_EQ(noBuffer->Status(), STATUS_INVALID_PARAMETER);
    }
    // Too short to hold the fields the codes read.
    auto shortWait = shim::DeviceIoControl(device, PW_IOCTL_WAIT_MESSAGE, std::vector<uint8_t>(3), 3);
    EXPECT_EQ(shortWait->Status(), STATUS_INVALID_PARAMETER);
    auto shortReply = shim::DeviceIoControl(device, PW_IOCTL_REPLY, std::vector<uint8_t>(2), 2);
    EXPECT_EQ(shortReply->Status(), STATUS_INVALID_PARAMETER);
}

// Which names are taken by someone else -> which index each of the four objects gets.
struct CollisionCase {
    const char* why;
    std::vector<std::u16string> taken;
    int sendDevice, sendLink, recvDevice, recvLink;
};

TEST_F(DriverStartTest, NameCollisionsMoveToTheNextIndex) {
    const CollisionCase cases[] = {
        {"send device 0 taken", {Indexed(kSendDev, 0)}, 1, 0, 0, 0},
        {"send links 0..2 taken", {Indexed(kSendLink, 0), Indexed(kSendLink, 1), Indexed(kSendLink, 2)}, 0, 3, 0, 0},
        {"receive device 0..14 taken",
         [] {
             std::vector<std::u16string> v;
             for (int i = 0; i < 15; ++i) v.push_back(Indexed(kRecvDev, i));
             return v;
         }(),
         0, 0, 15, 0},
        {"receive link 0 taken", {Indexed(kRecvLink, 0)}, 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        shim::Reset();
        for (const auto& name : c.taken) shim::ReserveName(name);
        ASSERT_EQ(Start(), STATUS_SUCCESS) << Joined(shim::Log());
        EXPECT_EQ(shim::LinkTarget(Indexed(kSendLink, c.sendLink)), Indexed(kSendDev, c.sendDevice));
        EXPECT_EQ(shim::LinkTarget(Indexed(kRecvLink, c.recvLink)), Indexed(kRecvDev, c.recvDevice));
        if (c.sendDevice > 0) {
            EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] Device Name conflict,\\Device\\process_filter_send_0\n"));
        }
        if (c.sendLink > 0) {
            EXPECT_TRUE(shim::LogHas(
                "[ProcessFilter] [Ioctl] SymbolicLink Name conflict,\\DosDevices\\process_filter_send_0\n"));
        }
        shim::UnloadDriver(driver_);
        loaded_ = false;
        // Names owned by someone else survive our unload.
        for (const auto& name : c.taken) EXPECT_TRUE(shim::NameExists(name));
        EXPECT_TRUE(shim::Faults().empty()) << Joined(shim::Faults());
        EXPECT_EQ(shim::OutstandingAllocations(), 0u);
    }
}

TEST_F(DriverStartTest, AllSixteenSendDeviceNamesTaken) {
    for (int i = 0; i <= 15; ++i) shim::ReserveName(Indexed(kSendDev, i));
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] Create Device,\\Device\\process_filter_send_15, Fail\n"));
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] IoctlCreateDevice: Fail\n"));
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] IoctlLoad: Fail\n"));
    EXPECT_EQ(shim::ProcessNotifyRoutineCount(), 0u);
}

// A failed receive link removes the receive device; the failed start removes the send pair, and
// another driver's link with the name we last tried is left alone.
TEST_F(DriverStartTest, AllSixteenReceiveLinkNamesTaken) {
    for (int i = 0; i <= 15; ++i) shim::ReserveName(Indexed(kRecvLink, i));
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] [Ioctl] Create Symbolic,\\DosDevices\\process_filter_recv_15, Fail\n"));
    EXPECT_FALSE(shim::NameExists(Indexed(kRecvDev, 0)));
    EXPECT_FALSE(shim::NameExists(Indexed(kSendDev, 0)));
    EXPECT_FALSE(shim::NameExists(Indexed(kSendLink, 0)));
    EXPECT_TRUE(shim::NameExists(Indexed(kRecvLink, 15)));
}

struct StartFailureCase {
    const char* why;
    void (*inject)();
    NTSTATUS expected;
    const char* line;
};

TEST_F(DriverStartTest, FailedStartReportsAndUndoes) {
    const StartFailureCase cases[] = {
        {"name buffer", [] { shim::FailAllocation(PW_TAG_NAME, 3); }, STATUS_INSUFFICIENT_RESOURCES,
         "[ProcessFilter] InitNameString: Fail\n"},
        {"process notify", [] { shim::FailNextProcessNotifyRegistration(STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED, "[ProcessFilter] SetCreateProcessNotify: Fail\n"},
        {"registry callback", [] { shim::FailNextRegistryRegistration(STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED, "[ProcessFilter] CmRegisterCallbackEx: Fail\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        shim::Reset();
        c.inject();
        EXPECT_EQ(Start(), c.expected);
        EXPECT_FALSE(loaded_);
        EXPECT_TRUE(shim::LogHas(c.line)) << Joined(shim::Log());
        EXPECT_FALSE(shim::NameExists(kSendLink0));
        EXPECT_FALSE(shim::NameExists(kRecvLink0));
        EXPECT_EQ(shim::ProcessNotifyRoutineCount(), 0u);
        EXPECT_EQ(shim::RegistryCallbackCount(), 0u);
        EXPECT_EQ(shim::OutstandingAllocations(), 0u);
        EXPECT_TRUE(shim::Faults().empty()) << Joined(shim::Faults());
    }
}

TEST(DriverEntryArguments, NoDriverObject) {
    shim::Reset();
    EXPECT_EQ(DriverEntry(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(shim::LogHas("[ProcessFilter] driver object is null\n"));
}

// Only SYSTEM and administrators may open the devices. An ordinary user is refused - by the
// devices' DACL, and by the create dispatch when the DACL could not be set or the open names a
// path below the device - and changes nothing: the parked request stays parked, the waiting
// process start stays waiting, the mode stays.
TEST_F(DriverStartTest, OrdinaryUserIsRefusedAndChangesNothing) {
    struct Case {
        const char* why;
        bool daclFails;
        std::u16string path;
    } cases[] = {
        {"device DACL", false, u""},
        {"path below the device", false, u"\\x"},
        {"no DACL: create dispatch", true, u""},
        {"no DACL, path below the device", true, u"\\x"},
    };
    const shim::Opener user{1234, false};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        shim::Reset();
        if (c.daclFails) shim::FailSecurityChanges(STATUS_ACCESS_DENIED);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        if (c.daclFails) {
            EXPECT_EQ(shim::LogCount("[ProcessFilter] [Ioctl] Set device security fail,"), 2u);
        }
        PFILE_OBJECT service = nullptr;
        ASSERT_EQ(shim::Open(kSendLink0, &service), STATUS_SUCCESS);
        auto first = IssueWait(service, 1);
        auto sender = CreateProcessAsync(kUntrustedImage, 40, 4);
        ASSERT_TRUE(first->Wait(kPatience));
        const int16_t slot = Parse(first).slot;
        auto parked = IssueWait(service, 1);
        ASSERT_TRUE(WaitFor([] { return shim::BlockedWaiters() == 1; }));

        for (const auto& link : {kSendLink0, kRecvLink0}) {
            PFILE_OBJECT handle = nullptr;
            EXPECT_EQ(shim::Open(link, &handle, user, c.path), STATUS_ACCESS_DENIED);
            EXPECT_EQ(handle, nullptr);
        }
        if (c.daclFails) {
            EXPECT_EQ(shim::LogCount("[ProcessFilter] [Ioctl] Connect refused,"), 2u);
        }
        EXPECT_FALSE(parked->Completed());
        EXPECT_EQ(sender.wait_for(0s), std::future_status::timeout);
        EXPECT_EQ(PwCurrentMode(), 1);
        // An administrator may still connect - but not below the device either.
        PFILE_OBJECT below = nullptr;
        EXPECT_EQ(shim::Open(kRecvLink0, &below, shim::Opener{}, u"\\x"), STATUS_ACCESS_DENIED);
        EXPECT_FALSE(parked->Completed());

        SendReply(service, slot, PW_VERDICT_BLOCK);
        ASSERT_EQ(sender.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(sender.get(), PW_STATUS_CREATION_VETOED);
        EXPECT_EQ(shim::Close(service), STATUS_SUCCESS);
        shim::UnloadDriver(driver_);
        loaded_ = false;
        EXPECT_TRUE(shim::Faults().empty()) << Joined(shim::Faults());
    }
}

}  // namespace
}  // namespace pwtest
