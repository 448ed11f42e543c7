// User-mode kernel shim: the subset of the Windows kernel interface that procwarden uses,
// implemented on top of real threads and real waits so the driver's logic can be tested on linux.
//
// Names, types and semantics follow the kernel's; structures only carry the members the driver
// touches. Everything the tests drive or inspect (opening devices, issuing requests, starting
// processes, writing registry values, captured debug output, fault records) lives in
// shim_control.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- basic types --------------------------------------------------------------------------

#define NTAPI
#define VOID void
#define IN
#define OUT
#define OPTIONAL

typedef char CHAR;
typedef unsigned char UCHAR;
typedef UCHAR BOOLEAN;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void* PVOID;
typedef void* HANDLE;
typedef char16_t WCHAR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const char* PCSTR;
typedef UCHAR* PUCHAR;
typedef ULONG* PULONG;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG DEVICE_TYPE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, not counting any terminator
    USHORT MaximumLength;  // bytes of Buffer
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

// ---- status values ------------------------------------------------------------------------

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)

// ---- IRQL ---------------------------------------------------------------------------------

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// ---- pool ---------------------------------------------------------------------------------

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
VOID ExFreePoolWithTag(PVOID p, ULONG tag);

#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))

// ---- spin locks and events ----------------------------------------------------------------

// A real spin lock (atomic exchange, spinning with yields); the holder runs at DISPATCH_LEVEL.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))
KIRQL KeGetCurrentIrql();

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE;
typedef CHAR KPROCESSOR_MODE;

// Plain data, like the kernel's dispatcher header; waits and signals are serialised by the
// shim's dispatcher lock.
typedef struct _KEVENT {
    LONG Type;
    LONG SignalState;
    ULONG64 Generation;  // bumped by every KeSetEvent, so a set followed by a clear still wakes
                         // the threads that were waiting at the time of the set
} KEVENT, *PKEVENT, *PRKEVENT;

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
VOID KeClearEvent(PRKEVENT event);
LONG KeResetEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);
// Supports KEVENT objects. A relative timeout is negative, in 100 ns units.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// ---- strings ------------------------------------------------------------------------------

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInSensitive);

// Debug output; the shim implements the kernel's conversions including %wZ.
ULONG DbgPrint(PCSTR format, ...);

// ---- driver, device, request --------------------------------------------------------------

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define DO_BUFFERED_IO 0x00000004
#define DO_DEVICE_INITIALIZING 0x00000080
#define SL_PENDING_RETURNED 0x01
#define IO_NO_INCREMENT 0

typedef NTSTATUS(DRIVER_INITIALIZE)(struct _DRIVER_OBJECT* driverObject, PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID(DRIVER_UNLOAD)(struct _DRIVER_OBJECT* driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS(DRIVER_DISPATCH)(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef VOID(DRIVER_CANCEL)(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;

typedef struct _DRIVER_OBJECT {
    struct _DEVICE_OBJECT* DeviceObject;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    PDRIVER_OBJECT DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    ULONG Flags;
    ULONG Characteristics;
    DEVICE_TYPE DeviceType;
    PVOID DeviceExtension;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

// One open handle of a device.
typedef struct _FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    UNICODE_STRING FileName;  // the part of the opened name after the device's name
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            struct _IO_SECURITY_CONTEXT* SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

// Irp->Cancel is written by the cancelling thread while the owner may read it; the shim makes
// both sides atomic so the race the kernel tolerates does not read as a data race here.
struct ShimCancelFlag {
    BOOLEAN Value;
    operator BOOLEAN() const { return __atomic_load_n(&Value, __ATOMIC_ACQUIRE); }
};

typedef struct _IRP {
    IO_STATUS_BLOCK IoStatus;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    ShimCancelFlag Cancel;
    KPROCESSOR_MODE RequestorMode;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;  // only through IoSetCancelRoutine (atomic exchange)
    CHAR StackCount;
    CHAR CurrentLocation;
    struct {
        struct {
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
} IRP, *PIRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline VOID IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

VOID IofCompleteRequest(PIRP irp, CHAR priorityBoost);
#define IoCompleteRequest IofCompleteRequest
VOID IoAcquireCancelSpinLock(PKIRQL irql);
VOID IoReleaseCancelSpinLock(KIRQL irql);

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                        ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject);
VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);

// ---- process and registry notifications ---------------------------------------------------

typedef struct _KPROCESS* PEPROCESS;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _PS_CREATE_NOTIFY_INFO {
    SIZE_T Size;
    ULONG Flags;
    HANDLE ParentProcessId;
    CLIENT_ID CreatingThreadId;
    PFILE_OBJECT FileObject;
    PCUNICODE_STRING ImageFileName;
    PCUNICODE_STRING CommandLine;
    NTSTATUS CreationStatus;
} PS_CREATE_NOTIFY_INFO, *PPS_CREATE_NOTIFY_INFO;

typedef VOID (*PCREATE_PROCESS_NOTIFY_ROUTINE_EX)(PEPROCESS process, HANDLE processId,
                                                  PPS_CREATE_NOTIFY_INFO createInfo);
NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine,
                                           BOOLEAN remove);
// The process the calling thread runs in.
HANDLE PsGetCurrentProcessId();

typedef enum _REG_NOTIFY_CLASS {
    RegNtPreDeleteKey = 0,
    RegNtPreSetValueKey = 1,
    RegNtPostSetValueKey = 16,
    RegNtPostDeleteValueKey = 17,
} REG_NOTIFY_CLASS;

typedef NTSTATUS(EX_CALLBACK_FUNCTION)(PVOID callbackContext, PVOID argument1, PVOID argument2);
typedef EX_CALLBACK_FUNCTION* PEX_CALLBACK_FUNCTION;

typedef struct _REG_SET_VALUE_KEY_INFORMATION {
    PVOID Object;
    PUNICODE_STRING ValueName;
    ULONG TitleIndex;
    ULONG Type;
    PVOID Data;
    ULONG DataSize;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_SET_VALUE_KEY_INFORMATION, *PREG_SET_VALUE_KEY_INFORMATION;

typedef struct _REG_POST_OPERATION_INFORMATION {
    PVOID Object;
    NTSTATUS Status;
    PVOID PreInformation;
    NTSTATUS ReturnStatus;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_POST_OPERATION_INFORMATION, *PREG_POST_OPERATION_INFORMATION;

NTSTATUS CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION function, PCUNICODE_STRING altitude,
                              PVOID driver, PVOID context, PLARGE_INTEGER cookie, PVOID reserved);
NTSTATUS CmUnRegisterCallback(LARGE_INTEGER cookie);

typedef struct _OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION objectNameInfo, ULONG length,
                           PULONG returnLength);


// ---- security -----------------------------------------------------------------------------

typedef PVOID PSID;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID PACCESS_TOKEN;
typedef ULONG SECURITY_INFORMATION;
typedef USHORT SECURITY_DESCRIPTOR_CONTROL;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID, *PISID;

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE;

typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    int ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

typedef struct _ACCESS_STATE {
    SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
} ACCESS_STATE, *PACCESS_STATE;

typedef struct _IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PACCESS_STATE AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;

#define SECURITY_DESCRIPTOR_REVISION 1
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0
#define SE_DACL_PRESENT 0x0004
#define DACL_SECURITY_INFORMATION 0x00000004L
#define WRITE_DAC 0x00040000L
#define FILE_ALL_ACCESS 0x001F01FFL
#define OBJ_KERNEL_HANDLE 0x00000200L

#define SeQuerySubjectContextToken(c) \
    (((PSECURITY_SUBJECT_CONTEXT)(c))->ClientToken != nullptr ? ((PSECURITY_SUBJECT_CONTEXT)(c))->ClientToken \
                                                              : ((PSECURITY_SUBJECT_CONTEXT)(c))->PrimaryToken)

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, ULONG revision);
NTSTATUS RtlCreateAcl(PACL acl, ULONG aclLength, ULONG aclRevision);
NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG aceRevision, ACCESS_MASK accessMask, PSID sid);
NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, BOOLEAN daclPresent,
                                      PACL dacl, BOOLEAN daclDefaulted);
ULONG RtlLengthSid(PSID sid);
// Supports device objects.
NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PACCESS_STATE passedAccessState,
                               ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                               KPROCESSOR_MODE accessMode, PHANDLE handle);
// Supports the DACL of a device object.
NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION securityInformation,
                             PSECURITY_DESCRIPTOR securityDescriptor);
NTSTATUS ZwClose(HANDLE handle);
BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN token);
