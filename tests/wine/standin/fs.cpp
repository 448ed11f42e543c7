// The virtio-fs device: each request (IOCTL 0x0022E004, buffered) is the request bytes, whose
// first little-endian u32 is their length; the worker sends them to the host's back end and
// answers with what the back end returns, the 16-byte FUSE reply header.
//
// Each open of the device starts a new conversation with the back end (as opening the
// simulation's device connects to its socket): the worker drops the old connection and
// connects at the first request after the open. An answer shorter than 16 bytes comes with
// the back end closing the connection: that request gets the bytes there were and every
// later one fails, until the device is opened again. Only the worker touches the socket;
// an open just moves `fsOpens` on (under the device lock). Requests are served one at a time
// in the order they came; the one being served is not cancellable (its answer is on its way).
#include "tests/wine/standin/standin.h"

namespace standin {

namespace {

ULONG ReceiveAnswer(SOCKET s, UCHAR* answer)
{
    ULONG have = 0;
    while (have < kFsAnswer) {
        const int n = recv(s, reinterpret_cast<char*>(answer + have), static_cast<int>(kFsAnswer - have), 0);
        if (n <= 0) {
            break;
        }
        have += static_cast<ULONG>(n);
    }
    return have;
}

NTSTATUS Serve(Device* device, PIRP irp, ULONG opens, ULONG& returned)
{
    returned = 0;
    if (opens != device->fsServedOpens) {
        device->fsServedOpens = opens;
        device->fsBroken = false;
        if (device->fsSocket != INVALID_SOCKET) {
            (void)closesocket(device->fsSocket);
            device->fsSocket = INVALID_SOCKET;
        }
    }
    if (device->fsBroken) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (device->fsSocket == INVALID_SOCKET) {
        const SOCKET s = socket(kAfInet, kSockStream, kIpProtoTcp);
        const SockAddrIn address = Loopback(device->tcpPort);
        if (s == INVALID_SOCKET || connect(s, &address, sizeof address) != 0) {
            if (s != INVALID_SOCKET) {
                (void)closesocket(s);
            }
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        const int one = 1;
        (void)setsockopt(s, kIpProtoTcp, kTcpNoDelay, reinterpret_cast<const char*>(&one), sizeof one);
        device->fsSocket = s;
    }
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    UCHAR answer[kFsAnswer] = {};
    ULONG have = 0;
    if (SendAll(device->fsSocket, buffer, stack->Parameters.DeviceIoControl.InputBufferLength)) {
        have = ReceiveAnswer(device->fsSocket, answer);
    }
    if (have < kFsAnswer) {
        device->fsBroken = true;
        (void)closesocket(device->fsSocket);
        device->fsSocket = INVALID_SOCKET;
        if (have == 0) {
            return STATUS_DEVICE_NOT_CONNECTED;
        }
    }
    const ULONG capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    returned = have < capacity ? have : capacity;
    RtlCopyMemory(buffer, answer, returned);
    return STATUS_SUCCESS;
}

VOID Worker(PVOID context)
{
    auto* device = static_cast<Device*>(context);
    for (;;) {
        (void)KeWaitForSingleObject(&device->fsWork, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&device->lock, &irql);
            PIRP irp = QueueTakeLocked(device->fsRequests);
            const ULONG opens = device->fsOpens;
            KeReleaseSpinLock(&device->lock, irql);
            if (irp == nullptr) {
                break;
            }
            ULONG returned = 0;
            const NTSTATUS status = Serve(device, irp, opens, returned);
            (void)Complete(irp, status, returned);
        }
    }
}

}  // namespace

NTSTATUS FsStart(Device* device) { return StartThread(device, Worker); }

NTSTATUS FsRequest(Device* device, PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG declared = 0;
    if (length >= sizeof declared) {
        RtlCopyMemory(&declared, irp->AssociatedIrp.SystemBuffer, sizeof declared);
    }
    // The back end reads as many bytes as the request declares: anything else would leave
    // the stream out of step.
    if (length < 8 || declared != length) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    const NTSTATUS status = QueuePend(device, device->fsRequests, irp);
    if (status == STATUS_PENDING) {
        KeSetEvent(&device->fsWork, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

void FsOpen(Device* device)
{
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    device->fsOpens++;
    KeReleaseSpinLock(&device->lock, irql);
}

void FsClose(Device* device, PFILE_OBJECT file)
{
    LIST_ENTRY gone;
    InitializeListHead(&gone);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    QueueTakeAllLocked(device->fsRequests, file, gone);
    KeReleaseSpinLock(&device->lock, irql);
    CompleteList(gone, STATUS_CANCELLED);
}

}  // namespace standin
