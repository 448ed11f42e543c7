// quorstandin's entry, device creation and dispatch (see standin.h for the threads and locks).
//
// AddDevice reads the device's parameters and registers its interface; IRP_MN_START_DEVICE
// starts its threads and enables the interface. Every dispatch routine either completes the
// request at once or queues it for a device thread: none blocks.
#include "tests/wine/standin/standin.h"

namespace standin {

namespace {

// {6FDE7521-1B65-48AE-B628-80BE62016026}: the virtio-serial port interface class.
const GUID kSerialPortClass = {0x6FDE7521, 0x1B65, 0x48AE, {0xB6, 0x28, 0x80, 0xBE, 0x62, 0x01, 0x60, 0x26}};
// {A1B0CBF2-F488-4B29-B89F-16C78E68C737}: the virtio-fs interface class.
const GUID kVirtioFsClass = {0xA1B0CBF2, 0xF488, 0x4B29, {0xB8, 0x9F, 0x16, 0xC7, 0x8E, 0x68, 0xC7, 0x37}};

bool ReadDword(HANDLE key, const wchar_t* name, ULONG& value)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } buffer;
    ULONG length = 0;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &buffer, sizeof buffer, &length)) ||
        buffer.info.Type != REG_DWORD || buffer.info.DataLength != sizeof(ULONG)) {
        return false;
    }
    RtlCopyMemory(&value, buffer.info.Data, sizeof value);
    return true;
}

NTSTATUS ReadParameters(PDEVICE_OBJECT pdo, Device* device)
{
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG port = 0;
    const bool ok = ReadDword(key, L"Kind", device->kind) && ReadDword(key, L"HostIndex", device->hostIndex) &&
                    ReadDword(key, L"TcpPort", port) && port > 0 && port < 65536 &&
                    (device->kind == kKindSerial || device->kind == kKindFs);
    (void)ZwClose(key);
    device->tcpPort = static_cast<USHORT>(port);
    return ok ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Device), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Device* device = DeviceOf(fdo);
    RtlZeroMemory(device, sizeof *device);
    device->self = fdo;
    KeInitializeSpinLock(&device->lock);
    QueueInit(device->reads);
    QueueInit(device->writes);
    QueueInit(device->infos);
    QueueInit(device->fsRequests);
    KeInitializeEvent(&device->rxSpace, SynchronizationEvent, FALSE);
    KeInitializeEvent(&device->sendWork, SynchronizationEvent, FALSE);
    KeInitializeEvent(&device->fsWork, SynchronizationEvent, FALSE);
    device->listener = INVALID_SOCKET;
    device->fsSocket = INVALID_SOCKET;
    status = ReadParameters(pdo, device);
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(pdo, device->kind == kKindFs ? &kVirtioFsClass : &kSerialPortClass,
                                           nullptr, &device->interfaceName);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("quorstandin: device not added: %08x\n", status);
        IoDeleteDevice(fdo);
        return status;
    }
    device->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    Device* device = DeviceOf(deviceObject);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = device->kind == kKindFs ? FsStart(device) : SerialStart(device);
        if (NT_SUCCESS(status)) {
            status = IoSetDeviceInterfaceState(&device->interfaceName, TRUE);
        }
        return Complete(irp, status, 0);
    }
    case IRP_MN_REMOVE_DEVICE: {
        // Only when the prefix shuts down. The device object stays: its threads still use it
        // and end with the process.
        (void)IoSetDeviceInterfaceState(&device->interfaceName, FALSE);
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(device->lower, irp);
        IoDetachDevice(device->lower);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(device->lower, irp);
    }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    Device* device = DeviceOf(deviceObject);
    if (device->kind == kKindFs) {
        FsOpen(device);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    Device* device = DeviceOf(deviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (device->kind == kKindFs) {
        FsClose(device, file);
    } else {
        SerialClose(device, file);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    Device* device = DeviceOf(deviceObject);
    return device->kind == kKindSerial ? SerialRead(device, irp) : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    Device* device = DeviceOf(deviceObject);
    return device->kind == kKindSerial ? SerialWrite(device, irp) : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

NTSTATUS AnswerInformation(Device* device, PIRP irp)
{
    const ULONG capacity = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    // METHOD_OUT_DIRECT: the output is the MDL (the system buffer, if any, is the input).
    auto* out = irp->MdlAddress != nullptr
                    ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                    : static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (capacity < sizeof(ULONG) || out == nullptr) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlZeroMemory(out, capacity);
    RtlCopyMemory(out, &device->hostIndex, sizeof(ULONG));
    return Complete(irp, STATUS_SUCCESS, capacity);
}

namespace {

NTSTATUS DispatchControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    Device* device = DeviceOf(deviceObject);
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (device->kind == kKindFs) {
        return code == kIoctlFsRequest ? FsRequest(device, irp) : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (code) {
    case kIoctlGetInformation:
        return SerialInformation(device, irp);
    case kIoctlSerialPurge:
        return SerialPurge(device, irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

}  // namespace

NTSTATUS StartThread(Device* device, PKSTART_ROUTINE routine)
{
    HANDLE thread;
    const NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, device);
    if (NT_SUCCESS(status)) {
        (void)ZwClose(thread);
    }
    return status;
}

}  // namespace standin

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UCHAR wsaData[512];
    if (WSAStartup(0x0202, wsaData) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    driver->DriverExtension->AddDevice = standin::AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = standin::DispatchPnp;
    driver->MajorFunction[IRP_MJ_CREATE] = standin::DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = standin::DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = standin::DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = standin::DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = standin::DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = standin::DispatchControl;
    return STATUS_SUCCESS;
}
