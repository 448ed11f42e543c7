// quorstandin: stand-in virtio devices for running the guest program under Wine.
//
// Under Wine a kernel driver runs in user space (winedevice.exe), so this driver can bridge
// each device to a TCP connection on 127.0.0.1, where the host's reference peer (tools/)
// sits. It is a test fixture and never shipped; a real driver could not use Winsock.
//
// Devices are root-enumerated (tests/wine/standin/standin.reg.in); each device's
// `Device Parameters` key says what it is:
//   Kind      0 = virtio-serial port, 1 = virtio-fs device
//   HostIndex the port's host index (answered by IOCTL_GET_INFORMATION)
//   TcpPort   serial: the port this device listens on for the host;
//             virtio-fs: the port of the host's back end that it connects to
//
// Threads: Wine dispatches every IRP of the process from one thread, so no dispatch routine
// may block. Blocking socket calls happen on each device's own system threads:
//   serial:    a receiver (accept, then recv into the receive buffer) and a sender (the
//              write queue, one request at a time, and the information requests, which
//              it answers after their dispatch has returned them pending);
//   virtio-fs: a worker (the request queue: connect, send, receive the 16-byte answer).
// Locking: one spin lock per device guards its queues, its receive buffer and its
// connection pointer. Requests are completed outside the lock.
#pragma once

#include <ntddk.h>

#include "tests/wine/standin/net.h"

namespace standin {

constexpr ULONG kKindSerial = 0;
constexpr ULONG kKindFs = 1;

constexpr ULONG kIoctlGetInformation = 0x222002;  // METHOD_OUT_DIRECT
constexpr ULONG kIoctlSerialPurge = 0x1B004C;     // IOCTL_SERIAL_PURGE, what PurgeComm sends
constexpr ULONG kIoctlFsRequest = 0x0022E004;     // METHOD_BUFFERED
constexpr ULONG kPurgeTxAbort = 1;
constexpr ULONG kPurgeRxAbort = 2;
constexpr ULONG kPurgeRxClear = 8;

constexpr ULONG kRxCapacity = 64 * 1024;  // unread host bytes before the receiver stops reading
constexpr ULONG kSendPiece = 64 * 1024;
constexpr ULONG kFsAnswer = 16;  // the FUSE reply header

// A queue of pending requests that the I/O manager may cancel at any time.
// Whoever removes a request under the device lock *and* wins IoSetCancelRoutine(irp, nullptr)
// completes it; when the exchange returns nullptr the cancel routine is already on its way
// and completes it (it finds the request unlinked and removes nothing).
struct IrpQueue {
    LIST_ENTRY head;
};

struct Connection;

struct Device {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    UNICODE_STRING interfaceName;
    ULONG kind;
    ULONG hostIndex;
    USHORT tcpPort;

    KSPIN_LOCK lock;
    bool stopping;

    // serial
    IrpQueue reads;
    IrpQueue writes;
    IrpQueue infos;             // information requests: pended, answered by the sender
    PIRP activeWrite;           // the write the sender is sending (not in `writes`)
    Connection* connection;     // the host's connection; nullptr while no host is there
    UCHAR* rx;                  // bytes from the host nobody has read yet
    ULONG rxLength;
    UCHAR* piece;               // the receiver's landing buffer
    SOCKET listener;
    KEVENT rxSpace;             // the receiver waits here while the buffer is full
    KEVENT sendWork;            // the sender waits here for writes

    // virtio-fs
    IrpQueue fsRequests;
    KEVENT fsWork;
    ULONG fsOpens;              // opens so far (device lock)
    ULONG fsServedOpens;        // the open whose conversation fsSocket is (worker only)
    SOCKET fsSocket;            // the back end's connection, INVALID_SOCKET before the first request (worker only)
    bool fsBroken;              // the back end ended the conversation: fail until the next open (worker only)
};

inline Device* DeviceOf(PDEVICE_OBJECT d) { return static_cast<Device*>(d->DeviceExtension); }

// irp_queue.cpp
void QueueInit(IrpQueue& q);
// Pends `irp` in `q` (device lock taken inside); returns STATUS_PENDING, or completes a request
// cancelled already and returns STATUS_CANCELLED.
NTSTATUS QueuePend(Device* device, IrpQueue& q, PIRP irp);
// The oldest request that this caller now owns, or nullptr. Device lock held.
PIRP QueueTakeLocked(IrpQueue& q);
// Moves every request of `file` (every request when null) that this caller owns into `out`.
// Device lock held.
void QueueTakeAllLocked(IrpQueue& q, PFILE_OBJECT file, LIST_ENTRY& out);
bool QueueEmptyLocked(const IrpQueue& q);
// Completes the requests of a list made by QueueTakeAllLocked. Device lock not held.
void CompleteList(LIST_ENTRY& list, NTSTATUS status);
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
// The caller's buffer of a read, write or buffered request.
void* RequestBuffer(PIRP irp);

// serial.cpp
NTSTATUS SerialStart(Device* device);
NTSTATUS SerialRead(Device* device, PIRP irp);
NTSTATUS SerialWrite(Device* device, PIRP irp);
NTSTATUS SerialPurge(Device* device, PIRP irp);
// IOCTL_GET_INFORMATION: pended, as a real driver may, and answered by the sender thread.
NTSTATUS SerialInformation(Device* device, PIRP irp);
// driver.cpp: fills the answer of an information request and completes it.
NTSTATUS AnswerInformation(Device* device, PIRP irp);
void SerialClose(Device* device, PFILE_OBJECT file);

// fs.cpp
NTSTATUS FsStart(Device* device);
NTSTATUS FsRequest(Device* device, PIRP irp);
void FsOpen(Device* device);
void FsClose(Device* device, PFILE_OBJECT file);

// Starts a system thread running `routine(device)`.
NTSTATUS StartThread(Device* device, PKSTART_ROUTINE routine);

}  // namespace standin
