// procwarden: driver-wide state and the operations its parts share.
#pragma once

#include "procwarden/kernel.h"

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
#define PW_OBJECT_NAME_QUERY_BYTES 1024

// How long a process creation waits for the service's verdict before it goes ahead.
#define PW_VERDICT_TIMEOUT_MS 30000
#define PW_MAX_NAME_INDEX 15

#define PW_TAG_NAME PW_POOL_TAG('e', 'm', 'a', 'n')
#define PW_TAG_NAME_QUERY PW_POOL_TAG('q', 'n', 'w', 'p')

#define PW_SEND_DEVICE_TAG 1
#define PW_RECV_DEVICE_TAG 2

// ---- state --------------------------------------------------------------------------------

// A slot is free, or taken by a waiting sender, or - after its sender gave up waiting -
// abandoned: still in use until the late reply for it arrives or the service goes away, so
// that reply cannot be read as the verdict for a later message in the same slot.
struct PwSlot {
    CHAR Index;
    UCHAR InUse;      // guarded by the channel lock (as are all fields but Event)
    UCHAR Replied;    // a reply arrived since the sender took the slot
    UCHAR Abandoned;  // the sender timed out; the slot waits for the late reply
    SHORT Reply;
    ULONG Ticket;     // bumped each time a sender takes the slot
    KEVENT Event;     // notification event: reply, close, cleanup, cancellation or unload
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
    PIRP PendingIrp;              // guarded by the channel lock, as are the fields below
    PFILE_OBJECT PendingFile;     // the handle the pending request came on
    PFILE_OBJECT ServiceFile;     // the handle of the last request parked, until its cleanup
    HANDLE ServiceProcess;        // the process that parked it (null: none)
    SHORT Mode;
    BOOLEAN Closing;              // set by unload
    PwSlot Slots[PW_SLOT_COUNT];

    BOOLEAN ProcessNotifyRegistered;
    BOOLEAN RegistryCallbackRegistered;
    LARGE_INTEGER RegistryCookie;
};

extern PwGlobals g_Pw;

// A message for the service.
struct PwMessage {
    SHORT Type;
    PCUNICODE_STRING Name;
    ULONG64 Value1;
    ULONG64 Value2;
};

// What became of a message.
enum PwSendResult {
    PwNotDelivered,  // no usable request parked, no free slot, or no name: dropped
    PwDelivered,     // handed to the service; no reply wanted
    PwAnswered,      // handed over and answered; the verdict is the reply
    PwReleased,      // handed over; the service closed, cleaned up or cancelled, or unload came
    PwTimedOut,      // handed over; no reply within PW_VERDICT_TIMEOUT_MS
};

// ---- channel (channel.cpp) ----------------------------------------------------------------

VOID PwChannelInit();
// At PASSIVE_LEVEL; the message's name must be in non-paged memory (it is copied under the
// channel lock). With waitForReply, *verdict is the reply when the result is PwAnswered, else 0.
PwSendResult PwSendMessage(const PwMessage* message, BOOLEAN waitForReply, SHORT* verdict);
// True when processId is the process of the service (the last one to park a wait request).
BOOLEAN PwIsServiceProcess(HANDLE processId);
BOOLEAN PwCompletePendingRequest(ULONG_PTR information);
VOID PwReleaseAllSlots();
VOID PwShutdownChannel();
SHORT PwCurrentMode();

DRIVER_DISPATCH PwDispatchCreate;
DRIVER_DISPATCH PwDispatchCleanup;
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
