// procwarden: the two named control devices and their links.
#include "procwarden.h"

namespace {

const WCHAR kSendDevicePrefix[] = PW_TEXT("\\Device\\process_filter_send_");
const WCHAR kSendLinkPrefix[] = PW_TEXT("\\DosDevices\\process_filter_send_");
const WCHAR kRecvDevicePrefix[] = PW_TEXT("\\Device\\process_filter_recv_");
const WCHAR kRecvLinkPrefix[] = PW_TEXT("\\DosDevices\\process_filter_recv_");

NTSTATUS AllocateName(UNICODE_STRING* name) {
    const USHORT bytes = PW_NAME_UNITS * sizeof(WCHAR);
    name->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, PW_TAG_NAME));
    if (name->Buffer == nullptr) {
        name->Length = 0;
        name->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(name->Buffer, bytes);
    name->Length = 0;
    name->MaximumLength = bytes;
    return STATUS_SUCCESS;
}

VOID FreeName(UNICODE_STRING* name) {
    if (name->Buffer != nullptr) {
        ExFreePoolWithTag(name->Buffer, PW_TAG_NAME);
    }
    name->Buffer = nullptr;
    name->Length = 0;
    name->MaximumLength = 0;
}

// Empties the name (keeping its buffer) and writes prefix + index in decimal.
NTSTATUS BuildIndexName(UNICODE_STRING* name, PCWSTR prefix, ULONG index) {
    name->Length = 0;
    NTSTATUS status = RtlAppendUnicodeToString(name, prefix);
    if (!NT_SUCCESS(status)) {
        DbgPrint("[ProcessFilter] [Ioctl] Failed to append name,%d,%d\n", (int)index, (int)status);
        return status;
    }
    WCHAR digits[12];
    UNICODE_STRING number = {0, sizeof(digits), digits};
    status = RtlIntegerToUnicodeString(index, 10, &number);
    if (NT_SUCCESS(status)) {
        status = RtlAppendUnicodeStringToString(name, &number);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("[ProcessFilter] [Ioctl] Failed to append index,%d,%d\n", (int)index, (int)status);
        return status;
    }
    return STATUS_SUCCESS;
}

// Creates a device named prefix<i> for the first i in 0..15 that works.
NTSTATUS CreateIndexedDevice(PDRIVER_OBJECT driver, UNICODE_STRING* name, PCWSTR prefix,
                             PDEVICE_OBJECT* device) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i <= PW_MAX_NAME_INDEX; ++i) {
        status = BuildIndexName(name, prefix, i);
        if (!NT_SUCCESS(status)) {
            DbgPrint("[ProcessFilter] [Ioctl] BuildIndexName fail,%d\n", (int)status);
            return status;
        }
        status = IoCreateDevice(driver, 1, name, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
        if (NT_SUCCESS(status)) {
            (*device)->Flags |= DO_BUFFERED_IO;
            return status;
        }
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            DbgPrint("[ProcessFilter] [Ioctl] Device Name conflict,%wZ\n", name);
        }
    }
    *device = nullptr;
    DbgPrint("[ProcessFilter] [Ioctl] Create Device,%wZ, Fail\n", name);
    return status;
}

// Creates a link named prefix<i> to target for the first i in 0..15 that works.
NTSTATUS CreateIndexedLink(UNICODE_STRING* name, PCWSTR prefix, UNICODE_STRING* target) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i <= PW_MAX_NAME_INDEX; ++i) {
        status = BuildIndexName(name, prefix, i);
        if (!NT_SUCCESS(status)) {
            DbgPrint("[ProcessFilter] [Ioctl] BuildIndexName fail,%d\n", (int)status);
            return status;
        }
        status = IoCreateSymbolicLink(name, target);
        if (NT_SUCCESS(status)) {
            return status;
        }
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            DbgPrint("[ProcessFilter] [Ioctl] SymbolicLink Name conflict,%wZ\n", name);
        }
    }
    DbgPrint("[ProcessFilter] [Ioctl] Create Symbolic,%wZ, Fail\n", name);
    return status;
}

NTSTATUS CreateDeviceAndLink(PDRIVER_OBJECT driver, UNICODE_STRING* deviceName,
                             PCWSTR devicePrefix, UNICODE_STRING* linkName, PCWSTR linkPrefix,
                             UCHAR extensionTag, PDEVICE_OBJECT* device, BOOLEAN* linkCreated) {
    NTSTATUS status = CreateIndexedDevice(driver, deviceName, devicePrefix, device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DbgPrint("[ProcessFilter] [Ioctl] Create Device,%wZ, Succeed\n", deviceName);
    *static_cast<UCHAR*>((*device)->DeviceExtension) = extensionTag;

    status = CreateIndexedLink(linkName, linkPrefix, deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = nullptr;
        return status;
    }
    *linkCreated = TRUE;
    DbgPrint("[ProcessFilter] [Ioctl] Create Symbolic,%wZ, Succeed\n", linkName);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS InitNameString() {
    UNICODE_STRING* names[] = {&g_Pw.SendDeviceName, &g_Pw.SendLinkName, &g_Pw.RecvDeviceName,
                               &g_Pw.RecvLinkName};
    for (UNICODE_STRING* name : names) {
        if (!NT_SUCCESS(AllocateName(name))) {
            DbgPrint("[ProcessFilter] InitNameString: Fail\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

VOID PwFreeNameStrings() {
    FreeName(&g_Pw.SendDeviceName);
    FreeName(&g_Pw.SendLinkName);
    FreeName(&g_Pw.RecvDeviceName);
    FreeName(&g_Pw.RecvLinkName);
}

NTSTATUS IoctlCreateDevice(PDRIVER_OBJECT driver) {
    NTSTATUS status = CreateDeviceAndLink(driver, &g_Pw.SendDeviceName, kSendDevicePrefix,
                                          &g_Pw.SendLinkName, kSendLinkPrefix,
                                          PW_SEND_DEVICE_TAG, &g_Pw.SendDevice,
                                          &g_Pw.SendLinkCreated);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateDeviceAndLink(driver, &g_Pw.RecvDeviceName, kRecvDevicePrefix, &g_Pw.RecvLinkName,
                               kRecvLinkPrefix, PW_RECV_DEVICE_TAG, &g_Pw.RecvDevice,
                               &g_Pw.RecvLinkCreated);
}

// Deletes what IoctlCreateDevice made. Only links this driver created are deleted: after a
// failed attempt the link name holds a name that may belong to someone else.
VOID PwDeleteDevices() {
    if (g_Pw.SendDevice != nullptr) {
        IoDeleteDevice(g_Pw.SendDevice);
        g_Pw.SendDevice = nullptr;
        DbgPrint("[ProcessFilter] [Ioctl] Delete send device,%wZ\n", &g_Pw.SendDeviceName);
    }
    if (g_Pw.RecvDevice != nullptr) {
        IoDeleteDevice(g_Pw.RecvDevice);
        g_Pw.RecvDevice = nullptr;
        DbgPrint("[ProcessFilter] [Ioctl] Delete receive device,%wZ\n", &g_Pw.RecvDeviceName);
    }
    if (g_Pw.SendLinkCreated) {
        g_Pw.SendLinkCreated = FALSE;
        if (NT_SUCCESS(IoDeleteSymbolicLink(&g_Pw.SendLinkName))) {
            DbgPrint("[ProcessFilter] [Ioctl] Delete send symbolic link,%wZ\n", &g_Pw.SendLinkName);
        }
    }
    if (g_Pw.RecvLinkCreated) {
        g_Pw.RecvLinkCreated = FALSE;
        if (NT_SUCCESS(IoDeleteSymbolicLink(&g_Pw.RecvLinkName))) {
            DbgPrint("[ProcessFilter] [Ioctl] Delete receive symbolic link,%wZ\n",
                     &g_Pw.RecvLinkName);
        }
    }
}
