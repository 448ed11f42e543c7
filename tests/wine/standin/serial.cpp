// A virtio-serial port: a byte stream between the guest's handle and the host's TCP connection.
//
// The device listens on 127.0.0.1:TcpPort from its start; the host connects (one at a time) and
// its connection lives on independently of the guest's opens and closes, as the host's end of
// a real port does. A newly connecting host drops the bytes the previous one left unread.
//
// Guest-bound flow control: the receiver stops reading the socket while kRxCapacity bytes wait
// to be read. Host-bound: the sender sends a write in pieces; TCP holds it back while the host
// does not read, and the sender checks for cancellation between pieces.
//
// Writes are always pended first and completed by the sender, so a write while no host is
// there completes with STATUS_CANT_WAIT (554) asynchronously, as the real driver does.
//
// The connection is reference-counted: the receiver holds one reference while the host is
// there, the sender one while it sends; the socket is closed with the last one.
#include "tests/wine/standin/standin.h"

namespace standin {

struct Connection {
    SOCKET socket;
    volatile LONG references;
};

namespace {

Connection* TakeConnectionLocked(Device* device)
{
    Connection* c = device->connection;
    if (c != nullptr) {
        InterlockedIncrement(&c->references);
    }
    return c;
}

void Release(Connection* c)
{
    if (InterlockedDecrement(&c->references) == 0) {
        (void)closesocket(c->socket);
        ExFreePoolWithTag(c, 'nCtS');
    }
}

// Satisfies waiting reads from the receive buffer. Device lock held; the requests to complete
// are added to `done` with their status set.
void ServeReadsLocked(Device* device, LIST_ENTRY& done)
{
    while (device->rxLength > 0) {
        PIRP irp = QueueTakeLocked(device->reads);
        if (irp == nullptr) {
            return;
        }
        const ULONG asked = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        const ULONG n = asked < device->rxLength ? asked : device->rxLength;
        RtlCopyMemory(RequestBuffer(irp), device->rx, n);
        RtlMoveMemory(device->rx, device->rx + n, device->rxLength - n);
        device->rxLength -= n;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
}

void CompleteAsSet(LIST_ENTRY& done)
{
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void ServeHostConnection(Device* device, SOCKET s)
{
    auto* c = static_cast<Connection*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Connection), 'nCtS'));
    if (c == nullptr) {
        (void)closesocket(s);
        return;
    }
    const int one = 1;
    (void)setsockopt(s, kIpProtoTcp, kTcpNoDelay, reinterpret_cast<const char*>(&one), sizeof one);
    c->socket = s;
    c->references = 1;
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    device->connection = c;
    device->rxLength = 0;
    KeReleaseSpinLock(&device->lock, irql);

    UCHAR* piece = device->piece;  // the receiver's own: the buffer moves under the lock
    for (;;) {
        KeAcquireSpinLock(&device->lock, &irql);
        const ULONG space = kRxCapacity - device->rxLength;
        KeReleaseSpinLock(&device->lock, irql);
        if (space == 0) {
            (void)KeWaitForSingleObject(&device->rxSpace, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        const int n = recv(s, reinterpret_cast<char*>(piece), static_cast<int>(space), 0);
        if (n <= 0) {
            break;
        }
        LIST_ENTRY done;
        InitializeListHead(&done);
        KeAcquireSpinLock(&device->lock, &irql);
        RtlCopyMemory(device->rx + device->rxLength, piece, static_cast<ULONG>(n));
        device->rxLength += static_cast<ULONG>(n);
        ServeReadsLocked(device, done);
        KeReleaseSpinLock(&device->lock, irql);
        CompleteAsSet(done);
    }
    // The host left: bytes it sent stay readable, writes fail from now on.
    KeAcquireSpinLock(&device->lock, &irql);
    device->connection = nullptr;
    KeReleaseSpinLock(&device->lock, irql);
    (void)shutdown(s, kSdBoth);  // ends a send in progress
    Release(c);
}

VOID Receiver(PVOID context)
{
    auto* device = static_cast<Device*>(context);
    for (;;) {
        const SOCKET s = accept(device->listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            break;
        }
        ServeHostConnection(device, s);
    }
    (void)PsTerminateSystemThread(STATUS_SUCCESS);
}

// Sends one write; returns its final status and the bytes sent.
NTSTATUS SendWrite(Device* device, PIRP irp, ULONG& sent)
{
    sent = 0;
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    Connection* c = TakeConnectionLocked(device);
    KeReleaseSpinLock(&device->lock, irql);
    if (c == nullptr) {
        return STATUS_CANT_WAIT;
    }
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const auto* data = static_cast<const UCHAR*>(RequestBuffer(irp));
    NTSTATUS status = STATUS_SUCCESS;
    while (sent < length) {
        if (irp->Cancel) {
            status = STATUS_CANCELLED;
            break;
        }
        FdSet writable{1, {c->socket}};
        const TimeVal wait{0, 100 * 1000};  // look at the cancel flag again after this
        const int ready = select(0, nullptr, &writable, nullptr, &wait);
        if (ready == 0) {
            continue;
        }
        const ULONG piece = length - sent < kSendPiece ? length - sent : kSendPiece;
        const int n = ready < 0 ? -1 : send(c->socket, reinterpret_cast<const char*>(data + sent), static_cast<int>(piece), 0);
        if (n <= 0) {
            status = STATUS_CANT_WAIT;
            break;
        }
        sent += static_cast<ULONG>(n);
    }
    Release(c);
    // Bytes that went out count even when the rest could not.
    return sent > 0 ? STATUS_SUCCESS : status;
}

VOID Sender(PVOID context)
{
    auto* device = static_cast<Device*>(context);
    for (;;) {
        (void)KeWaitForSingleObject(&device->sendWork, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&device->lock, &irql);
            PIRP info = QueueTakeLocked(device->infos);
            KeReleaseSpinLock(&device->lock, irql);
            if (info != nullptr) {
                (void)AnswerInformation(device, info);
                continue;
            }
            KeAcquireSpinLock(&device->lock, &irql);
            PIRP irp = QueueTakeLocked(device->writes);
            device->activeWrite = irp;
            KeReleaseSpinLock(&device->lock, irql);
            if (irp == nullptr) {
                break;
            }
            ULONG sent = 0;
            const NTSTATUS status = SendWrite(device, irp, sent);
            KeAcquireSpinLock(&device->lock, &irql);
            device->activeWrite = nullptr;
            KeReleaseSpinLock(&device->lock, irql);
            (void)Complete(irp, status, sent);
        }
    }
}

}  // namespace

NTSTATUS SerialStart(Device* device)
{
    device->rx = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kRxCapacity, 'xRtS'));
    device->piece = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kRxCapacity, 'xRtS'));
    if (device->rx == nullptr || device->piece == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->listener = socket(kAfInet, kSockStream, kIpProtoTcp);
    if (device->listener == INVALID_SOCKET) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const int one = 1;
    (void)setsockopt(device->listener, kSolSocket, kSoReuseAddr, reinterpret_cast<const char*>(&one), sizeof one);
    const SockAddrIn address = Loopback(device->tcpPort);
    if (bind(device->listener, &address, sizeof address) != 0 || listen(device->listener, 1) != 0) {
        DbgPrint("quorstandin: cannot listen on 127.0.0.1:%u\n", device->tcpPort);
        return STATUS_ADDRESS_ALREADY_EXISTS;
    }
    NTSTATUS status = StartThread(device, Receiver);
    if (NT_SUCCESS(status)) {
        status = StartThread(device, Sender);
    }
    return status;
}

NTSTATUS SerialRead(Device* device, PIRP irp)
{
    const ULONG asked = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (asked == 0) {
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    const NTSTATUS status = QueuePend(device, device->reads, irp);
    if (status == STATUS_PENDING) {
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&device->lock, &irql);
        ServeReadsLocked(device, done);
        KeReleaseSpinLock(&device->lock, irql);
        CompleteAsSet(done);
        KeSetEvent(&device->rxSpace, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

NTSTATUS SerialInformation(Device* device, PIRP irp)
{
    const NTSTATUS status = QueuePend(device, device->infos, irp);
    if (status == STATUS_PENDING) {
        KeSetEvent(&device->sendWork, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

NTSTATUS SerialWrite(Device* device, PIRP irp)
{
    const NTSTATUS status = QueuePend(device, device->writes, irp);
    if (status == STATUS_PENDING) {
        KeSetEvent(&device->sendWork, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

NTSTATUS SerialPurge(Device* device, PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG mask;
    RtlCopyMemory(&mask, irp->AssociatedIrp.SystemBuffer, sizeof mask);
    LIST_ENTRY reads;
    LIST_ENTRY writes;
    InitializeListHead(&reads);
    InitializeListHead(&writes);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    if ((mask & kPurgeRxAbort) != 0) {
        QueueTakeAllLocked(device->reads, nullptr, reads);
    }
    if ((mask & kPurgeTxAbort) != 0) {
        QueueTakeAllLocked(device->writes, nullptr, writes);
        if (device->activeWrite != nullptr) {
            device->activeWrite->Cancel = TRUE;  // the sender stops before its next piece
        }
    }
    if ((mask & kPurgeRxClear) != 0) {
        device->rxLength = 0;
    }
    KeReleaseSpinLock(&device->lock, irql);
    CompleteList(reads, STATUS_CANCELLED);
    CompleteList(writes, STATUS_CANCELLED);
    KeSetEvent(&device->rxSpace, IO_NO_INCREMENT, FALSE);
    return Complete(irp, STATUS_SUCCESS, 0);
}

void SerialClose(Device* device, PFILE_OBJECT file)
{
    // Wine sends the close while the file's requests are still pending (and no cleanup):
    // they end here.
    LIST_ENTRY gone;
    InitializeListHead(&gone);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    QueueTakeAllLocked(device->reads, file, gone);
    QueueTakeAllLocked(device->writes, file, gone);
    QueueTakeAllLocked(device->infos, file, gone);
    if (device->activeWrite != nullptr && IoGetCurrentIrpStackLocation(device->activeWrite)->FileObject == file) {
        device->activeWrite->Cancel = TRUE;
    }
    KeReleaseSpinLock(&device->lock, irql);
    CompleteList(gone, STATUS_CANCELLED);
}

}  // namespace standin
