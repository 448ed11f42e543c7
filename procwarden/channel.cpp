// procwarden: the message channel to the user-mode service.
//
// The service parks one wait-for-message request; a sender writes its message into that
// request's buffer and completes it, then (if it wants a verdict) waits on one of five slots
// until the service replies, closes a device, or the request is cancelled.
//
// Ownership of the parked request: whoever takes it out of g_Pw.PendingIrp under the channel
// lock *and* wins IoSetCancelRoutine(irp, nullptr) completes it. When the exchange returns
// nullptr the cancel routine is already running and completes the request itself.
#include "procwarden.h"

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
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // Being cancelled right now: the cancel routine completes it.
        return nullptr;
    }
    return irp;
}

// Wakes every waiting sender and frees every slot. Channel lock held.
VOID ReleaseAllSlotsLocked() {
    for (PwSlot& slot : g_Pw.Slots) {
        slot.InUse = 0;
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

VOID PwCancelPendingRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DbgPrint("[ProcessFilter] [Ioctl] CancelIrp\n");

    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    if (g_Pw.PendingIrp == irp) {
        g_Pw.PendingIrp = nullptr;
    }
    ReleaseAllSlotsLocked();
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);

    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

NTSTATUS WaitForMessage(PIRP irp, PIO_STACK_LOCATION stack) {
    auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < PW_MSG_OFF_MODE_TYPE + sizeof(SHORT)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }

    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    g_Pw.Mode = ReadShort(buffer, PW_MSG_OFF_MODE_TYPE);
    if (g_Pw.PendingIrp != nullptr || g_Pw.Closing) {
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
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    return STATUS_PENDING;
}

NTSTATUS Reply(PIRP irp, PIO_STACK_LOCATION stack) {
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inputLength < PW_REPLY_SIZE || outputLength < PW_REPLY_SIZE) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }

    const USHORT index = static_cast<USHORT>(ReadShort(buffer, PW_REPLY_OFF_SLOT));
    if (index < PW_SLOT_COUNT) {
        KIRQL irql;
        KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
        g_Pw.Slots[index].Reply = ReadShort(buffer, PW_REPLY_OFF_VERDICT);
        KeSetEvent(&g_Pw.Slots[index].Event, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    }
    WriteShort(buffer, PW_REPLY_OFF_VERDICT, PW_REPLY_ACK);
    return CompleteRequest(irp, STATUS_SUCCESS, outputLength);
}

}  // namespace

VOID PwChannelInit() {
    KeInitializeSpinLock(&g_Pw.ChannelLock);
    g_Pw.PendingIrp = nullptr;
    g_Pw.Mode = -1;
    g_Pw.Closing = FALSE;
    for (LONG i = 0; i < PW_SLOT_COUNT; ++i) {
        PwSlot& slot = g_Pw.Slots[i];
        slot.Index = static_cast<CHAR>(i);
        slot.InUse = 0;
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

BOOLEAN PwSendMessage(const PwMessage* message, BOOLEAN waitForReply, PwSlotGrant* grant) {
    PCUNICODE_STRING name = message->Name;
    if (name == nullptr || name->Buffer == nullptr || name->Length == 0) {
        return FALSE;
    }

    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    PIRP irp = g_Pw.PendingIrp;
    if (irp == nullptr || g_Pw.Closing) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return FALSE;
    }
    const LONG slotIndex = GetIdleMessage();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (slotIndex < 0 || stack == nullptr || buffer == nullptr ||
        stack->Parameters.DeviceIoControl.InputBufferLength < PW_MSG_SIZE ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < PW_MSG_SIZE) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return FALSE;
    }
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    USHORT capacity = ReadUShort(buffer, PW_MSG_OFF_COUNT);
    if (capacity == 0) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return FALSE;
    }
    if (capacity > PW_MSG_NAME_MAX) {
        capacity = PW_MSG_NAME_MAX;  // the name area ends where the count begins
    }

    // Claim the request before writing into it: if it is being cancelled, it is not ours.
    irp = TakePendingRequestLocked();
    if (irp == nullptr) {
        KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
        return FALSE;
    }

    const USHORT count = name->Length <= capacity ? name->Length : capacity;
    RtlCopyMemory(buffer + PW_MSG_OFF_NAME, name->Buffer, count);
    RtlCopyMemory(buffer + PW_MSG_OFF_COUNT, &count, sizeof(count));
    WriteULong64(buffer, PW_MSG_OFF_VALUE1, message->Value1);
    WriteULong64(buffer, PW_MSG_OFF_VALUE2, message->Value2);
    WriteShort(buffer, PW_MSG_OFF_MODE_TYPE, message->Type);

    PwSlot* slot = nullptr;
    ULONG ticket = 0;
    if (waitForReply) {
        slot = &g_Pw.Slots[slotIndex];
        slot->InUse = 1;
        slot->Reply = 0;
        ticket = ++slot->Ticket;
        // Non-signalled before the service can see the message, so a fast reply is kept.
        KeClearEvent(&slot->Event);
        WriteShort(buffer, PW_MSG_OFF_SLOT, static_cast<SHORT>(slotIndex));
    } else {
        WriteShort(buffer, PW_MSG_OFF_SLOT, -1);
    }
    CompleteRequest(irp, STATUS_SUCCESS, outputLength);
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);

    if (!waitForReply) {
        return TRUE;
    }
    const NTSTATUS status = KeWaitForSingleObject(&slot->Event, Executive, KernelMode, FALSE, nullptr);
    PwSlotGrant taken = {slotIndex, ticket};
    if (status != STATUS_SUCCESS) {
        PwFinishSlot(&taken);
        return FALSE;
    }
    if (grant != nullptr) {
        *grant = taken;
    } else {
        PwFinishSlot(&taken);
    }
    return TRUE;
}

// Reads the verdict for a grant and frees the slot. A slot released by Close or cancellation
// and taken again by another sender is not freed a second time, and its newer reply is not
// returned: that verdict belongs to the other sender.
SHORT PwFinishSlot(const PwSlotGrant* grant) {
    if (grant->Index < 0 || grant->Index >= PW_SLOT_COUNT) {
        return 0;
    }
    PwSlot& slot = g_Pw.Slots[grant->Index];
    KIRQL irql;
    KeAcquireSpinLock(&g_Pw.ChannelLock, &irql);
    SHORT reply = 0;
    if (slot.Ticket == grant->Ticket) {
        reply = slot.Reply;
        slot.InUse = 0;
    }
    KeReleaseSpinLock(&g_Pw.ChannelLock, irql);
    return reply;
}

NTSTATUS PwDispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    DbgPrint("[ProcessFilter] [Ioctl] Connect,%wZ\n", LinkNameOf(device));
    if (PwCompletePendingRequest(0)) {
        DbgPrint("[ProcessFilter] [Ioctl] Connect,clear pending irp\n");
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
