// Structure layouts the driver depends on, compiled for x64 (shipped DDK headers) and for ARM64
// (patched headers). Both builds put the numbers into the section .pwlay; LayoutCompare.cmake
// requires the two sections to be byte for byte equal, naming each entry from the PW_SIZE /
// PW_OFF lines below (one entry per line, in order).
//
// ARM64 and x64 are both LLP64 with natural alignment, so every kernel structure has the same
// layout on both. The static_asserts pin a few well-known x64 values as well, so both builds
// agreeing on a wrong layout is caught too.
#include <ntifs.h>

#define PW_SIZE(type) (unsigned long long)sizeof(type)
#define PW_OFF(type, member) (unsigned long long)__builtin_offsetof(type, member)

extern "C" __attribute__((used, section(".pwlay"))) const unsigned long long PwLayout[] = {
    PW_SIZE(IRP),
    PW_OFF(IRP, AssociatedIrp.SystemBuffer),
    PW_OFF(IRP, IoStatus),
    PW_OFF(IRP, IoStatus.Information),
    PW_OFF(IRP, StackCount),
    PW_OFF(IRP, CurrentLocation),
    PW_OFF(IRP, Cancel),
    PW_OFF(IRP, CancelIrql),
    PW_OFF(IRP, CancelRoutine),
    PW_OFF(IRP, UserBuffer),
    PW_OFF(IRP, Tail.Overlay.Thread),
    PW_OFF(IRP, Tail.Overlay.CurrentStackLocation),
    PW_SIZE(IO_STACK_LOCATION),
    PW_OFF(IO_STACK_LOCATION, MajorFunction),
    PW_OFF(IO_STACK_LOCATION, Control),
    PW_OFF(IO_STACK_LOCATION, Parameters),
    PW_OFF(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength),
    PW_OFF(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength),
    PW_OFF(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode),
    PW_OFF(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer),
    PW_OFF(IO_STACK_LOCATION, Parameters.Create.SecurityContext),
    PW_OFF(IO_STACK_LOCATION, DeviceObject),
    PW_OFF(IO_STACK_LOCATION, FileObject),
    PW_OFF(IO_STACK_LOCATION, CompletionRoutine),
    PW_OFF(IO_STACK_LOCATION, Context),
    PW_SIZE(DEVICE_OBJECT),
    PW_OFF(DEVICE_OBJECT, DriverObject),
    PW_OFF(DEVICE_OBJECT, Flags),
    PW_OFF(DEVICE_OBJECT, Characteristics),
    PW_OFF(DEVICE_OBJECT, DeviceExtension),
    PW_OFF(DEVICE_OBJECT, DeviceType),
    PW_OFF(DEVICE_OBJECT, DeviceQueue),
    PW_OFF(DEVICE_OBJECT, Dpc),
    PW_OFF(DEVICE_OBJECT, DeviceLock),
    PW_SIZE(DRIVER_OBJECT),
    PW_OFF(DRIVER_OBJECT, DeviceObject),
    PW_OFF(DRIVER_OBJECT, DriverUnload),
    PW_OFF(DRIVER_OBJECT, MajorFunction),
    PW_SIZE(FILE_OBJECT),
    PW_OFF(FILE_OBJECT, FileName),
    PW_OFF(FILE_OBJECT, Event),
    PW_SIZE(IO_SECURITY_CONTEXT),
    PW_OFF(IO_SECURITY_CONTEXT, AccessState),
    PW_OFF(ACCESS_STATE, SubjectSecurityContext),
    PW_SIZE(SECURITY_SUBJECT_CONTEXT),
    PW_OFF(SECURITY_SUBJECT_CONTEXT, ClientToken),
    PW_OFF(SECURITY_SUBJECT_CONTEXT, PrimaryToken),
    PW_SIZE(SECURITY_DESCRIPTOR),
    PW_SIZE(ACL),
    PW_SIZE(ACCESS_ALLOWED_ACE),
    PW_SIZE(SID),
    PW_SIZE(CLIENT_ID),
    PW_OFF(CLIENT_ID, UniqueProcess),
    PW_SIZE(KEVENT),
    PW_SIZE(KDPC),
    PW_SIZE(KDEVICE_QUEUE),
    PW_SIZE(KSPIN_LOCK),
    PW_SIZE(LARGE_INTEGER),
    PW_SIZE(UNICODE_STRING),
    PW_OFF(UNICODE_STRING, MaximumLength),
    PW_OFF(UNICODE_STRING, Buffer),
    PW_SIZE(OBJECT_NAME_INFORMATION),
    PW_SIZE(PS_CREATE_NOTIFY_INFO),
    PW_OFF(PS_CREATE_NOTIFY_INFO, ParentProcessId),
    PW_OFF(PS_CREATE_NOTIFY_INFO, CreatingThreadId),
    PW_OFF(PS_CREATE_NOTIFY_INFO, FileObject),
    PW_OFF(PS_CREATE_NOTIFY_INFO, ImageFileName),
    PW_OFF(PS_CREATE_NOTIFY_INFO, CommandLine),
    PW_OFF(PS_CREATE_NOTIFY_INFO, CreationStatus),
    PW_SIZE(REG_SET_VALUE_KEY_INFORMATION),
    PW_OFF(REG_SET_VALUE_KEY_INFORMATION, ValueName),
    PW_OFF(REG_SET_VALUE_KEY_INFORMATION, Data),
    PW_SIZE(REG_POST_OPERATION_INFORMATION),
    PW_OFF(REG_POST_OPERATION_INFORMATION, Status),
    PW_OFF(REG_POST_OPERATION_INFORMATION, PreInformation),
};

// Well-known x64 values (public symbol layouts of the Windows 10 kernel).
static_assert(sizeof(IRP) == 0xD0);
static_assert(__builtin_offsetof(IRP, AssociatedIrp) == 0x18);
static_assert(__builtin_offsetof(IRP, IoStatus) == 0x30);
static_assert(__builtin_offsetof(IRP, Cancel) == 0x44);
static_assert(__builtin_offsetof(IRP, CancelIrql) == 0x45);
static_assert(__builtin_offsetof(IRP, CancelRoutine) == 0x68);
static_assert(__builtin_offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8);
static_assert(sizeof(IO_STACK_LOCATION) == 0x48);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters) == 0x08);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28);
static_assert(__builtin_offsetof(DEVICE_OBJECT, Flags) == 0x30);
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40);
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverUnload) == 0x68);
static_assert(__builtin_offsetof(DRIVER_OBJECT, MajorFunction) == 0x70);
static_assert(sizeof(DRIVER_OBJECT) == 0x150);
static_assert(sizeof(KEVENT) == 0x18);
static_assert(sizeof(UNICODE_STRING) == 0x10);
static_assert(sizeof(PS_CREATE_NOTIFY_INFO) == 0x48);
static_assert(__builtin_offsetof(PS_CREATE_NOTIFY_INFO, ImageFileName) == 0x30);
static_assert(__builtin_offsetof(PS_CREATE_NOTIFY_INFO, CreationStatus) == 0x40);
// What the create dispatch reads to find the opener's token.
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.Create.SecurityContext) == 0x08);
static_assert(__builtin_offsetof(IO_SECURITY_CONTEXT, AccessState) == 0x08);
static_assert(__builtin_offsetof(ACCESS_STATE, SubjectSecurityContext) == 0x20);
static_assert(__builtin_offsetof(SECURITY_SUBJECT_CONTEXT, PrimaryToken) == 0x10);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 0x28);
static_assert(__builtin_offsetof(PS_CREATE_NOTIFY_INFO, CreatingThreadId) == 0x18);
