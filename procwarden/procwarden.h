// procwarden: driver-wide state and the operations its parts share.
#pragma once

#include "kernel.h"

// ---- device-control interface -------------------------------------------------------------

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801 / 0x802, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define PW_IOCTL_WAIT_MESSAGE 0x0022E004u
#define PW_IOCTL_REPLY 0x0022E008u

// Message buffer of the wait-for-message request (little-endian, packed).
#define PW_MSG_OFF_SLOT 0u       // SHORT: slot to name in the reply, -1 when no reply is expected
#define PW_MSG_OFF_MODE_TYPE 2u  // SHORT: mode on input, message type on output
#define PW_MSG_OFF_VALUE1 4u     // ULONG64: process id (0 for registry messages)
#define PW_MSG_OFF_VALUE2 12u    // ULONG64: parent process id (0 for registry messages)
#define PW_MSG_OFF_NAME 20u      // UTF-16 name bytes, not terminated
#define PW_MSG_NAME_MAX 1024u
#define PW_MSG_OFF_COUNT 1044u   // USHORT: capacity on input, bytes written on output
#define PW_MSG_SIZE 1046u

// Reply buffer.
#define PW_REPLY_OFF_SLOT 0u     // SHORT, range-checked as unsigned
#define PW_REPLY_OFF_VERDICT 2u  // SHORT verdict on input; 100 on output
#define PW_REPLY_SIZE 4u
#define PW_REPLY_ACK 100

#define PW_MSG_TYPE_PROCESS 1
#define PW_MSG_TYPE_REGISTRY 2
#define PW_MSG_TYPE_PROCESS_REPORT 4

#define PW_MODE_REPORT_ALL 4
#define PW_VERDICT_BLOCK 32

// Creation status that makes a vetoed process fail to start.
#define PW_STATUS_CREATION_VETOED ((NTSTATUS)0xC0000372L)

#define PW_SLOT_COUNT 5
#define PW_NAME_UNITS 128          // UTF-16 units of each device/link name buffer
#define PW_KEY_NAME_UNITS 1024     // UTF-16 units of the key-name buffer
#define PW_OBJECT_NAME_QUERY_BYTES 1024
#define PW_MAX_NAME_INDEX 15

#define PW_TAG_NAME PW_POOL_TAG('e', 'm', 'a', 'n')
#define PW_TAG_KEY_NAME PW_POOL_TAG('g', 'e', 'r', 0)
#define PW_TAG_NAME_QUERY PW_POOL_TAG('q', 'n', 'w', 'p')

#define PW_SEND_DEVICE_TAG 1
#define PW_RECV_DEVICE_TAG 2

// ---- state --------------------------------------------------------------------------------

struct PwSlot {
    CHAR Index;
    UCHAR InUse;      // guarded by the channel lock
    SHORT Reply;      // guarded by the channel lock
    ULONG Ticket;     // bumped each time a sender takes the slot; guarded by the channel lock
    KEVENT Event;     // notification event: reply, close, cancellation or unload
};

struct PwGlobals {
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT SendDevice;
    PDEVICE_OBJECT RecvDevice;
    UNICODE_STRING SendDeviceName;
    UNICODE_STRING SendLinkName;
    UNICODE_STRING RecvDeviceName;
    UNICODE_STRING RecvLinkName;
    BOOLEAN SendLinkCreated;
    BOOLEAN RecvLinkCreated;

    KSPIN_LOCK ChannelLock;
    PIRP PendingIrp;          // guarded by the channel lock
    SHORT Mode;               // guarded by the channel lock
    BOOLEAN Closing;          // set by unload; guarded by the channel lock
    PwSlot Slots[PW_SLOT_COUNT];

    BOOLEAN ProcessNotifyRegistered;
    BOOLEAN RegistryCallbackRegistered;
    LARGE_INTEGER RegistryCookie;
    UNICODE_STRING KeyName;
    KEVENT KeyNameLock;       // synchronization event used as a passive-level lock over KeyName
};

extern PwGlobals g_Pw;

// A message for the service.
struct PwMessage {
    SHORT Type;
    PCUNICODE_STRING Name;
    ULONG64 Value1;
    ULONG64 Value2;
};

// The slot a waiting sender was given; hand it back with PwFinishSlot.
struct PwSlotGrant {
    LONG Index;
    ULONG Ticket;
};

// ---- channel (channel.cpp) ----------------------------------------------------------------

VOID PwChannelInit();
BOOLEAN PwSendMessage(const PwMessage* message, BOOLEAN waitForReply, PwSlotGrant* grant);
SHORT PwFinishSlot(const PwSlotGrant* grant);
BOOLEAN PwCompletePendingRequest(ULONG_PTR information);
VOID PwReleaseAllSlots();
VOID PwShutdownChannel();
SHORT PwCurrentMode();

DRIVER_DISPATCH PwDispatchCreate;
DRIVER_DISPATCH PwDispatchClose;
DRIVER_DISPATCH PwDispatchDeviceControl;

// ---- devices (devices.cpp) ----------------------------------------------------------------

NTSTATUS InitNameString();
VOID PwFreeNameStrings();
NTSTATUS IoctlCreateDevice(PDRIVER_OBJECT driver);
VOID PwDeleteDevices();

// ---- watchers (watchers.cpp) --------------------------------------------------------------

BOOLEAN PwIsTrustedImage(PCUNICODE_STRING imageName);
BOOLEAN PwContainsCaseSensitive(PCUNICODE_STRING haystack, PCUNICODE_STRING needle);
NTSTATUS PwInstallRegistryCallback(PDRIVER_OBJECT driver);
VOID PwRemoveRegistryCallback();
VOID PwProcessNotify(PEPROCESS process, HANDLE processId, PPS_CREATE_NOTIFY_INFO createInfo);
EX_CALLBACK_FUNCTION PwRegistryCallback;

// ---- entry (entry.cpp) --------------------------------------------------------------------

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD PwDriverUnload;
