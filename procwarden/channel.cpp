// procwarden: the message channel to the user-mode service.
//
// The service parks one wait-for-message request; a sender writes its message into that
// request's buffer and completes it, then (if it wants a verdict) waits on one of five slots
// until the service replies, closes a handle, cleans up the handle of its request, the request
// is cancelled, or PW_VERDICT_TIMEOUT_MS pass.
//
// Ownership of the parked request: whoever takes it out of g_Pw.PendingIrp under the channel
// lock *and* wins IoSetCancelRoutine(irp, nullptr) completes it, after releasing the lock.
// When the exchange returns nullptr the cancel routine is already running and completes the
// request itself.
//
// IRQL: dispatch routines run at PASSIVE_LEVEL in the caller's thread (the service's, for a
// top-level driver); senders call at PASSIVE_LEVEL; the cancel routine is entered at
// DISPATCH_LEVEL holding the cancel spin lock. Under the channel lock (DISPATCH_LEVEL) only
// non-paged memory is touched: the globals, the parked request's system buffer, and the
// message, whose name the watchers copy to non-paged memory first.
#include "procwarden/procwarden.h"

namespace {

DRIVER_CANCEL PwCancelPendingRequest;

inline SHORT ReadShort(const UCHAR* buffer, ULONG offset) {
    SHORT value;
    RtlCopyMemory(&value, buffer + offset, sizeof(value));
    return value;
}
inline USHORT ReadUShort(const UCHAR* buffer, ULONG offset) {
    USHORT value;
    RtlCopyMemory(&value, buffer + offset, sizeof(value));
    return value;
}
inline VOID WriteShort(UCHAR* buffer, ULONG offset, SHORT value) {
    RtlCopyMemory(buffer + offset, &value, sizeof(value));
}
inline VOID WriteULong64(UCHAR* buffer, ULONG offset, ULONG64 value) {
    RtlCopyMemory(buffer + offset, &value, sizeof(value));
}

// The system buffer of a buffered request holds max(input, output) bytes, of which only the
// input was copied in: what is returned past the input must not be left as pool contents.
inline VOID ZeroPastInput(UCHAR* buffer, ULONG inputLength, ULONG outputLength) {
    if (outputLength > inputLength) {
        RtlZeroMemory(buffer + inputLength, outputLength - inputLength);
    }
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Takes the parked request out of the channel if this caller wins it from the cancel routine.
// Channel lock held.
PIRP TakePendingRequestLocked() {
    PIRP irp = g_Pw.PendingIrp;
    if (irp == nullptr) {
        return nullptr;
    }
    g_Pw.PendingIrp = nullptr;
    g_Pw.PendingFile = nullptr;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // Being cancelled right now: the cancel routine completes it.
        return nullptr;
    }
    return irp;
}

// Wakes every waiting sender and frees every slot, abandoned ones too. Channel lock held.
VOID ReleaseAllSlotsLocked() {
    for (PwSlot& slot : g_Pw.Slots) {
        slot.InUse = 0;
        slot.Abandoned = 0;
        KeSetEvent(&slot.Event, IO_NO_INCREMENT, FALSE);
    }
}

// Lowest free slot, or -1. Channel lock held.
LONG GetIdleMessage() {
    for (LONG i = 0; i < PW_SLOT_COUNT; ++i) {
        if (g_Pw.Slots[i].InUse == 0) {
            return i;
        }
    }
    DbgPrint("[ProcessFilter] GetIdleMessage: Fail\n");
    return -1;
}

PCUNICODE_STRING LinkNameOf(PDEVICE_OBJECT device) {
    const UCHAR tag = device != nullptr && device->DeviceExtension != nullptr
                          ? *static_cast<const UCHAR*>(device->DeviceExtension)
                          : 0;
    return tag == PW_RECV_DEVICE_TAG ? &g_Pw.RecvLinkName : &g_Pw.SendLinkName;
}

// Only SYSTEM and administrators may drive the channel: a handle can complete the parked
// request (Create), release every waiting process start (Close) and give verdicts. The
// devices' DACL says so already; this also holds when the DACL could not be set, and for an
// open of a path below the device.
BOOLEAN OpenerMayConnect(PIO_STACK_LOCATION stack) {
    if (stack->FileObject != nullptr && stack->FileObject->FileName.Length != 0) {
        return FALSE;  // the devices have no namespace
    }
    PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
    if (security == nullptr || security->AccessState == nullptr) {
        return FALSE;
    }
    PACCESS_TOKEN token = SeQuerySubjectContextToken(&security->AccessState->SubjectSecurityContext);
    return token != nullptr && SeTokenIsAdmin(token);
}

VOID PwCancelPendingRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DbgPrint("[ProcessFilter] [Ioctl] CancelIrp\n");

    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    if (g_Pw.PendingIrp == irp) {
        g_Pw.PendingIrp = nullptr;
        g_Pw.PendingFile = nullptr;
    }
    ReleaseAllSlotsLocked();
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);

    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// A request that can never carry a message (too small, or a name capacity of 0) is refused
// when it arrives instead of being parked: parked, it would swallow every message.
NTSTATUS WaitForMessage(PIRP irp, PIO_STACK_LOCATION stack) {
    auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inputLength < PW_MSG_OFF_MODE_TYPE + sizeof(SHORT)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    const BOOLEAN usable = inputLength >= PW_MSG_SIZE && outputLength >= PW_MSG_SIZE &&
                           ReadUShort(buffer, PW_MSG_OFF_COUNT) != 0;

    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    g_Pw.Mode = ReadShort(buffer, PW_MSG_OFF_MODE_TYPE);
    if (!usable || g_Pw.PendingIrp != nullptr || g_Pw.Closing) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }

    irp->IoStatus.Status = STATUS_PENDING;
    irp->IoStatus.Information = 0;
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, PwCancelPendingRequest);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the cancel routine was in place: nobody else will complete it.
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    g_Pw.PendingIrp = irp;
    g_Pw.PendingFile = stack->FileObject;
    g_Pw.ServiceFile = stack->FileObject;
    g_Pw.ServiceProcess = PsGetCurrentProcessId();
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    return STATUS_PENDING;
}

// Only the input matters: a reply without an output buffer counts as well.
NTSTATUS Reply(PIRP irp, PIO_STACK_LOCATION stack) {
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inputLength < PW_REPLY_SIZE) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }

    const USHORT index = static_cast<USHORT>(ReadShort(buffer, PW_REPLY_OFF_SLOT));
    if (index < PW_SLOT_COUNT) {
        KIRQL irql;
        KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
        PwSlot& slot = g_Pw.Slots[index];
        slot.Reply = ReadShort(buffer, PW_REPLY_OFF_VERDICT);
        if (slot.Abandoned) {
            // The late reply for a sender that stopped waiting: the slot is free again.
            slot.Abandoned = 0;
            slot.InUse = 0;
        } else {
            slot.Replied = 1;
        }
        KeSetEvent(&slot.Event, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    }
    // The system buffer holds at least the input's 4 bytes.
    WriteShort(buffer, PW_REPLY_OFF_VERDICT, PW_REPLY_ACK);
    ZeroPastInput(buffer, inputLength, outputLength);
    return CompleteRequest(irp, STATUS_SUCCESS, outputLength);
}

// After the wait of a sender: what became of its slot. Channel lock held.
PwSendResult SettleSlotLocked(PwSlot& slot, ULONG ticket, NTSTATUS waitStatus, SHORT* verdict) {
    if (slot.Ticket != ticket) {
        return PwReleased;  // released and taken again by another sender: nothing here is ours
    }
    if (slot.Replied) {
        *verdict = slot.Reply;
        slot.InUse = 0;
        return PwAnswered;
    }
    if (!slot.InUse) {
        return PwReleased;  // close, cleanup, cancellation or unload
    }
    if (waitStatus == STATUS_TIMEOUT) {
        slot.Abandoned = 1;
        return PwTimedOut;
    }
    slot.InUse = 0;
    return PwReleased;
}

}  // namespace

VOID PwChannelInit() {
    KeInitializeSpinLock(&g_Pw.ChannelLock);
    g_Pw.PendingIrp = nullptr;
    g_Pw.PendingFile = nullptr;
    g_Pw.ServiceFile = nullptr;
    g_Pw.ServiceProcess = nullptr;
    g_Pw.Mode = -1;
    g_Pw.Closing = FALSE;
    for (LONG i = 0; i < PW_SLOT_COUNT; ++i) {
        PwSlot& slot = g_Pw.Slots[i];
        slot.Index = static_cast<CHAR>(i);
        slot.InUse = 0;
        slot.Replied = 0;
        slot.Abandoned = 0;
        slot.Reply = 0;
        slot.Ticket = 0;
        KeInitializeEvent(&slot.Event, NotificationEvent, FALSE);
    }
}

SHORT PwCurrentMode() {
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    const SHORT mode = g_Pw.Mode;
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    return mode;
}

BOOLEAN PwIsServiceProcess(HANDLE processId) {
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    const BOOLEAN service = g_Pw.ServiceProcess != nullptr && g_Pw.ServiceProcess == processId;
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    return service;
}

BOOLEAN PwCompletePendingRequest(ULONG_PTR information) {
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    PIRP irp = TakePendingRequestLocked();
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    if (irp == nullptr) {
        return FALSE;
    }
    CompleteRequest(irp, STATUS_SUCCESS, information);
    return TRUE;
}

VOID PwReleaseAllSlots() {
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    ReleaseAllSlotsLocked();
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
}

// Unload: no message is accepted any more, the parked request is completed and every waiting
// sender is woken, so nothing can stay blocked inside the driver.
VOID PwShutdownChannel() {
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    g_Pw.Closing = TRUE;
    PIRP irp = TakePendingRequestLocked();
    ReleaseAllSlotsLocked();
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    if (irp != nullptr) {
        CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
}

PwSendResult PwSendMessage(const PwMessage* message, BOOLEAN waitForReply, SHORT* verdict) {
    if (verdict != nullptr) {
        *verdict = 0;
    }
    PCUNICODE_STRING name = message->Name;
    if (name == nullptr || name->Buffer == nullptr || name->Length == 0) {
        return PwNotDelivered;
    }

    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    PIRP irp = g_Pw.PendingIrp;
    if (irp == nullptr || g_Pw.Closing) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return PwNotDelivered;
    }
    const LONG slotIndex = GetIdleMessage();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    // The sizes and the capacity were checked when the request was parked.
    if (slotIndex < 0 || stack == nullptr || buffer == nullptr) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return PwNotDelivered;
    }
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    USHORT capacity = ReadUShort(buffer, PW_MSG_OFF_COUNT);
    if (capacity > PW_MSG_NAME_MAX) {
        capacity = PW_MSG_NAME_MAX;  // the name area ends where the count begins
    }

    // Claim the request before writing into it: if it is being cancelled, it is not ours.
    irp = TakePendingRequestLocked();
    if (irp == nullptr) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return PwNotDelivered;
    }

    const USHORT count = name->Length <= capacity ? name->Length : capacity;
    RtlCopyMemory(buffer + PW_MSG_OFF_NAME, name->Buffer, count);
    RtlCopyMemory(buffer + PW_MSG_OFF_COUNT, &count, sizeof(count));
    WriteULong64(buffer, PW_MSG_OFF_VALUE1, message->Value1);
    WriteULong64(buffer, PW_MSG_OFF_VALUE2, message->Value2);
    WriteShort(buffer, PW_MSG_OFF_MODE_TYPE, message->Type);
    ZeroPastInput(buffer, inputLength, outputLength);

    PwSlot* slot = nullptr;
    ULONG ticket = 0;
    if (waitForReply) {
        slot = &g_Pw.Slots[slotIndex];
        slot->InUse = 1;
        slot->Replied = 0;
        slot->Abandoned = 0;
        slot->Reply = 0;
        ticket = ++slot->Ticket;
        // Non-signalled before the service can see the message, so a fast reply is kept.
        KeClearEvent(&slot->Event);
        WriteShort(buffer, PW_MSG_OFF_SLOT, static_cast<SHORT>(slotIndex));
    } else {
        WriteShort(buffer, PW_MSG_OFF_SLOT, -1);
    }
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    CompleteRequest(irp, STATUS_SUCCESS, outputLength);

    if (!waitForReply) {
        return PwDelivered;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(PW_VERDICT_TIMEOUT_MS) * 10000;  // relative, 100 ns units
    const NTSTATUS status = KeWaitForSingleObject(&slot->Event, Executive, KernelMode, FALSE, &timeout);
    SHORT reply = 0;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    const PwSendResult result = SettleSlotLocked(*slot, ticket, status, &reply);
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    if (verdict != nullptr) {
        *verdict = reply;
    }
    return result;
}

NTSTATUS PwDispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    if (!OpenerMayConnect(IoGetCurrentIrpStackLocation(irp))) {
        DbgPrint("[ProcessFilter] [Ioctl] Connect refused,%wZ\n", LinkNameOf(device));
        return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    }
    DbgPrint("[ProcessFilter] [Ioctl] Connect,%wZ\n", LinkNameOf(device));
    if (PwCompletePendingRequest(0)) {
        DbgPrint("[ProcessFilter] [Ioctl] Connect,clear pending irp\n");
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// The last handle of a file object is closed. A request still parked on it would keep the
// file object referenced, so IRP_MJ_CLOSE would never come and the channel would stay armed
// on a dead handle: it is completed here, and if this was the service's handle every waiting
// sender is released, as Close does.
NTSTATUS PwDispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PIRP parked = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    const BOOLEAN ownsPending = g_Pw.PendingIrp != nullptr && g_Pw.PendingFile == file;
    const BOOLEAN service = ownsPending || (g_Pw.ServiceFile != nullptr && g_Pw.ServiceFile == file);
    if (ownsPending) {
        parked = TakePendingRequestLocked();
    }
    if (service) {
        g_Pw.ServiceFile = nullptr;
        g_Pw.ServiceProcess = nullptr;
        ReleaseAllSlotsLocked();
    }
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    if (parked != nullptr) {
        DbgPrint("[ProcessFilter] [Ioctl] Cleanup,clear pending irp\n");
        CompleteRequest(parked, STATUS_CANCELLED, 0);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS PwDispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    DbgPrint("[ProcessFilter] [Ioctl] Disconnect,%wZ\n", LinkNameOf(device));
    if (PwCompletePendingRequest(0)) {
        DbgPrint("[ProcessFilter] [Ioctl] Disconnect,clear pending irp\n");
    }
    PwReleaseAllSlots();
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS PwDispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack == nullptr || irp->AssociatedIrp.SystemBuffer == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case PW_IOCTL_WAIT_MESSAGE:
            return WaitForMessage(irp, stack);
        case PW_IOCTL_REPLY:
            return Reply(irp, stack);
        default:
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
