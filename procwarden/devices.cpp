// procwarden: the two named control devices and their links.
#include "procwarden/procwarden.h"

namespace {

const WCHAR kSendDevicePrefix[] = PW_TEXT("\\Device\\process_filter_send_");
const WCHAR kSendLinkPrefix[] = PW_TEXT("\\DosDevices\\process_filter_send_");
const WCHAR kRecvDevicePrefix[] = PW_TEXT("\\Device\\process_filter_recv_");
const WCHAR kRecvLinkPrefix[] = PW_TEXT("\\DosDevices\\process_filter_recv_");

// SYSTEM (S-1-5-18) and BUILTIN\Administrators (S-1-5-32-544), laid out as SIDs.
struct PwSid1 {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
};
struct PwSid2 {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[2];
};
PwSid1 kLocalSystemSid = {1, 1, {{0, 0, 0, 0, 0, 5}}, {18}};
PwSid2 kAdministratorsSid = {1, 2, {{0, 0, 0, 0, 0, 5}}, {32, 544}};

// Gives a device the DACL "SYSTEM and Administrators: full access, nobody else" (D:P(A;;FA;;;SY)
// (A;;FA;;;BA)). The devices also carry FILE_DEVICE_SECURE_OPEN, so the DACL holds for opens
// of a path below the device name too. PASSIVE_LEVEL.
NTSTATUS ProtectDevice(PDEVICE_OBJECT device) {
    ULONG aclBuffer[32];  // 128 bytes, ULONG-aligned; the ACL needs 52
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    const ULONG aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) +
                          RtlLengthSid(&kLocalSystemSid) + RtlLengthSid(&kAdministratorsSid);
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = aclSize <= sizeof(aclBuffer) ? RtlCreateAcl(acl, aclSize, ACL_REVISION) : STATUS_BUFFER_TOO_SMALL;
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, &kLocalSystemSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, &kAdministratorsSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    }
    HANDLE handle = nullptr;
    if (NT_SUCCESS(status)) {
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
    }
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    return status;
}

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
        status = IoCreateDevice(driver, 1, name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, device);
        if (NT_SUCCESS(status)) {
            (*device)->Flags |= DO_BUFFERED_IO;
            const NTSTATUS secured = ProtectDevice(*device);
            if (!NT_SUCCESS(secured)) {
                // Still safe: the create dispatch admits only SYSTEM and administrators.
                DbgPrint("[ProcessFilter] [Ioctl] Set device security fail,%wZ,%d\n", name, (int)secured);
            }
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
