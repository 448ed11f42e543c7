// Pending-request queues with cancellation (see IrpQueue in standin.h for who completes what).
// The cancel routine is entered holding the cancel spin lock, which it drops first; it then
// takes the device lock, unlinks the request (a no-op when a taker unlinked it already) and
// completes it as cancelled.
#include "tests/wine/standin/standin.h"

namespace standin {

namespace {

LIST_ENTRY* EntryOf(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }
PIRP IrpOf(LIST_ENTRY* entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

void CancelQueued(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device* device = DeviceOf(deviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    RemoveEntryList(EntryOf(irp));
    InitializeListHead(EntryOf(irp));
    KeReleaseSpinLock(&device->lock, irql);
    (void)Complete(irp, STATUS_CANCELLED, 0);
}

// Unlinks `irp`; true when the caller owns it now. Device lock held.
bool WinLocked(PIRP irp)
{
    RemoveEntryList(EntryOf(irp));
    InitializeListHead(EntryOf(irp));
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

}  // namespace

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void* RequestBuffer(PIRP irp)
{
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
        return irp->AssociatedIrp.SystemBuffer;
    }
    if (irp->MdlAddress != nullptr) {
        return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    return irp->UserBuffer;
}

void QueueInit(IrpQueue& q) { InitializeListHead(&q.head); }

bool QueueEmptyLocked(const IrpQueue& q) { return IsListEmpty(&q.head); }

NTSTATUS QueuePend(Device* device, IrpQueue& q, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    (void)IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&device->lock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&q.head, EntryOf(irp));
    KeReleaseSpinLock(&device->lock, irql);
    return STATUS_PENDING;
}

PIRP QueueTakeLocked(IrpQueue& q)
{
    while (!IsListEmpty(&q.head)) {
        PIRP irp = IrpOf(q.head.Flink);
        if (WinLocked(irp)) {
            return irp;
        }
    }
    return nullptr;
}

void QueueTakeAllLocked(IrpQueue& q, PFILE_OBJECT file, LIST_ENTRY& out)
{
    LIST_ENTRY* entry = q.head.Flink;
    while (entry != &q.head) {
        LIST_ENTRY* next = entry->Flink;
        PIRP irp = IrpOf(entry);
        if (file == nullptr || IoGetCurrentIrpStackLocation(irp)->FileObject == file) {
            if (WinLocked(irp)) {
                InsertTailList(&out, EntryOf(irp));
            }
        }
        entry = next;
    }
}

void CompleteList(LIST_ENTRY& list, NTSTATUS status)
{
    while (!IsListEmpty(&list)) {
        PIRP irp = IrpOf(RemoveHeadList(&list));
        InitializeListHead(EntryOf(irp));
        (void)Complete(irp, status, 0);
    }
}

}  // namespace standin
