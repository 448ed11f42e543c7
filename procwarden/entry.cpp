// procwarden: driver start and stop.
#include "procwarden/procwarden.h"

PwGlobals g_Pw;

namespace {

// Everything start may have set up, undone in an order that cannot hang or touch freed memory:
// first the channel is closed (pending request completed, every waiting sender woken, no new
// message accepted), then the notify routine and registry callback are removed (the kernel waits
// for callouts still running, which can no longer block on us), and only then devices, links
// and buffers go away.
VOID PwTeardown() {
    PwShutdownChannel();

    if (g_Pw.ProcessNotifyRegistered) {
        PsSetCreateProcessNotifyRoutineEx(PwProcessNotify, TRUE);
        g_Pw.ProcessNotifyRegistered = FALSE;
    }
    if (g_Pw.RegistryCallbackRegistered) {
        PwRemoveRegistryCallback();
    }

    PwDeleteDevices();
    PwFreeNameStrings();
}

NTSTATUS IoctlLoad(PDRIVER_OBJECT driver) {
    if (driver == nullptr) {
        DbgPrint("[ProcessFilter] [Ioctl] Init Fail,driver object is null\n");
        return STATUS_INVALID_PARAMETER;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = PwDispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = PwDispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = PwDispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PwDispatchDeviceControl;

    PwChannelInit();

    NTSTATUS status = InitNameString();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoctlCreateDevice(driver);
    if (!NT_SUCCESS(status)) {
        DbgPrint("[ProcessFilter] IoctlCreateDevice: Fail\n");
        return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    DbgPrint("[ProcessFilter] Process Filter Driver Entry>>>>>>>>\n");
    if (driver == nullptr) {
        DbgPrint("[ProcessFilter] driver object is null\n");
        return STATUS_INVALID_PARAMETER;
    }

    // The image's data section starts zeroed; clearing it here as well keeps a second start in
    // the same address space (the linux test build) equally clean.
    RtlZeroMemory(&g_Pw, sizeof(g_Pw));
    g_Pw.Driver = driver;
    driver->DriverUnload = PwDriverUnload;

    NTSTATUS status = IoctlLoad(driver);
    if (!NT_SUCCESS(status)) {
        DbgPrint("[ProcessFilter] IoctlLoad: Fail\n");
        PwTeardown();
        return status;
    }

    status = PsSetCreateProcessNotifyRoutineEx(PwProcessNotify, FALSE);
    if (!NT_SUCCESS(status)) {
        g_Pw.ProcessNotifyRegistered = FALSE;
        DbgPrint("[ProcessFilter] SetCreateProcessNotify: Fail\n");
        PwTeardown();
        return status;
    }
    g_Pw.ProcessNotifyRegistered = TRUE;
    DbgPrint("[ProcessFilter] SetCreateProcessNotify: Succeed\n");

    status = PwInstallRegistryCallback(driver);
    if (!NT_SUCCESS(status)) {
        DbgPrint("[ProcessFilter] InstallRegistryCallback: Fail\n");
        PwTeardown();
        return status;
    }
    DbgPrint("[ProcessFilter] InstallRegistryCallback: Succeed\n");
    return STATUS_SUCCESS;
}

VOID PwDriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    DbgPrint("[ProcessFilter] Process Filter Driver Unload<<<<<<<<\n");
    PwTeardown();
}
