// procwarden: the process-creation and uninstall-registry watchers.
#include "procwarden/procwarden.h"

namespace {

const UNICODE_STRING kUninstallValue = PW_CONST_STRING("UninstallString");
const UNICODE_STRING kUninstallKeyPart = PW_CONST_STRING("\\CurrentVersion\\Uninstall\\");
const UNICODE_STRING kAltitude = PW_CONST_STRING("321999");

inline WCHAR FoldAscii(WCHAR c) {
    return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - ('a' - 'A')) : c;
}

// True when the units of `text` at `position` equal `literal` ignoring ASCII case. A name too
// short to hold the literal there does not match (nothing past Length is read).
template <ULONG N>
BOOLEAN MatchAt(PCUNICODE_STRING name, ULONG position, const char (&literal)[N]) {
    const ULONG units = name->Length / sizeof(WCHAR);
    const ULONG count = N - 1;
    if (position > units || units - position < count) {
        return FALSE;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (FoldAscii(name->Buffer[position + i]) != FoldAscii(static_cast<WCHAR>(literal[i]))) {
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

// Trusted: anything not of the form \??\..., and on drive C: the Windows folder and the
// Program Files folders (long or short name). Positions count UTF-16 units.
BOOLEAN PwIsTrustedImage(PCUNICODE_STRING name) {
    if (name == nullptr || name->Buffer == nullptr || name->Length < 19) {
        return FALSE;
    }
    if (!MatchAt(name, 1, "?")) {
        return TRUE;
    }
    if (!MatchAt(name, 2, "?\\C:")) {
        return FALSE;
    }
    if (MatchAt(name, 7, "Windows\\")) {
        return TRUE;
    }
    if (!MatchAt(name, 7, "Progra")) {
        return FALSE;
    }
    if (MatchAt(name, 13, "~")) {
        return TRUE;
    }
    return MatchAt(name, 13, "m Files");
}

BOOLEAN PwContainsCaseSensitive(PCUNICODE_STRING haystack, PCUNICODE_STRING needle) {
    const ULONG hayUnits = haystack->Length / sizeof(WCHAR);
    const ULONG needleUnits = needle->Length / sizeof(WCHAR);
    if (needleUnits == 0 || needleUnits > hayUnits) {
        return FALSE;
    }
    for (ULONG start = 0; start + needleUnits <= hayUnits; ++start) {
        ULONG i = 0;
        while (i < needleUnits && haystack->Buffer[start + i] == needle->Buffer[i]) {
            ++i;
        }
        if (i == needleUnits) {
            return TRUE;
        }
    }
    return FALSE;
}

// Process creation: called at PASSIVE_LEVEL in the creating thread (inside a critical region,
// so the thread cannot be suspended or killed while it waits here). ImageFileName is not
// documented as non-paged: it is read here at PASSIVE_LEVEL and a copy of at most one message's
// name goes on the stack for the channel, which copies it under its spin lock.
//
// The creating thread waits at most PW_VERDICT_TIMEOUT_MS for a verdict, then the process
// starts. A process created by the service's own process is reported without waiting: the
// service may be creating it from the very thread that would have to answer.
VOID PwProcessNotify(PEPROCESS process, HANDLE processId, PPS_CREATE_NOTIFY_INFO createInfo) {
    (void)process;
    if (createInfo == nullptr) {
        return;  // process exit
    }
    PCUNICODE_STRING image = createInfo->ImageFileName;
    if (image == nullptr || image->Buffer == nullptr || image->Length == 0) {
        return;
    }
    const BOOLEAN trusted = PwIsTrustedImage(image);
    const BOOLEAN reportAll = PwCurrentMode() == PW_MODE_REPORT_ALL;
    if (trusted && !reportAll) {
        return;
    }

    WCHAR nameCopy[PW_MSG_NAME_MAX / sizeof(WCHAR)];
    UNICODE_STRING name;
    name.Length = static_cast<USHORT>(image->Length <= sizeof(nameCopy) ? image->Length : sizeof(nameCopy));
    name.MaximumLength = sizeof(nameCopy);
    name.Buffer = nameCopy;
    RtlCopyMemory(nameCopy, image->Buffer, name.Length);

    PwMessage message;
    message.Type = reportAll ? PW_MSG_TYPE_PROCESS_REPORT : PW_MSG_TYPE_PROCESS;
    message.Name = &name;
    message.Value1 = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(processId));
    message.Value2 = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(createInfo->ParentProcessId));
    const BOOLEAN wait = !PwIsServiceProcess(createInfo->CreatingThreadId.UniqueProcess);

    SHORT verdict = 0;
    const PwSendResult result = PwSendMessage(&message, wait, &verdict);
    if (result == PwTimedOut) {
        DbgPrint("[ProcessFilter] No verdict in %u ms,%I64u\n", (unsigned)PW_VERDICT_TIMEOUT_MS, message.Value1);
    }
    // Mode 4 only reports; a verdict counts in the other modes.
    if (!reportAll && result == PwAnswered && verdict == PW_VERDICT_BLOCK) {
        createInfo->CreationStatus = PW_STATUS_CREATION_VETOED;
    }
}

// Registry: called at PASSIVE_LEVEL in the writing thread. For RegNtPostSetValueKey,
// Argument2 is the post-operation record; its PreInformation is the set-value record the
// caller's write was captured into, and Object is the key - valid only if the write succeeded.
// Each notification looks up the key's name into a buffer of its own (non-paged, as the
// channel copies the name under its spin lock), so concurrent writes share nothing and wait
// for nobody.
NTSTATUS PwRegistryCallback(PVOID context, PVOID argument1, PVOID argument2) {
    (void)context;
    if (static_cast<REG_NOTIFY_CLASS>(reinterpret_cast<ULONG_PTR>(argument1)) != RegNtPostSetValueKey) {
        return STATUS_SUCCESS;
    }
    auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument2);
    if (post == nullptr || !NT_SUCCESS(post->Status)) {
        return STATUS_SUCCESS;  // a failed write installed nothing
    }
    auto* setValue = static_cast<PREG_SET_VALUE_KEY_INFORMATION>(post->PreInformation);
    if (setValue == nullptr || setValue->ValueName == nullptr ||
        !RtlEqualUnicodeString(setValue->ValueName, &kUninstallValue, TRUE)) {
        return STATUS_SUCCESS;
    }
    if (post->Object == nullptr) {
        return STATUS_SUCCESS;
    }

    auto* query = static_cast<POBJECT_NAME_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, PW_OBJECT_NAME_QUERY_BYTES, PW_TAG_NAME_QUERY));
    if (query == nullptr) {
        return STATUS_SUCCESS;
    }
    ULONG returned = 0;
    const NTSTATUS status = ObQueryNameString(post->Object, query, PW_OBJECT_NAME_QUERY_BYTES, &returned);
    if (NT_SUCCESS(status) && query->Name.Buffer != nullptr &&
        PwContainsCaseSensitive(&query->Name, &kUninstallKeyPart)) {
        DbgPrint("[ProcessFilter] [Uninstall Set],%wZ,%wZ \n", setValue->ValueName, &query->Name);
        PwMessage message = {PW_MSG_TYPE_REGISTRY, &query->Name, 0, 0};
        (void)PwSendMessage(&message, FALSE, nullptr);
    }
    ExFreePoolWithTag(query, PW_TAG_NAME_QUERY);
    return STATUS_SUCCESS;
}

NTSTATUS PwInstallRegistryCallback(PDRIVER_OBJECT driver) {
    NTSTATUS status = CmRegisterCallbackEx(PwRegistryCallback, &kAltitude, driver, nullptr,
                                           &g_Pw.RegistryCookie, nullptr);
    if (!NT_SUCCESS(status)) {
        g_Pw.RegistryCallbackRegistered = FALSE;
        DbgPrint("[ProcessFilter] CmRegisterCallbackEx: Fail\n");
        return status;
    }
    g_Pw.RegistryCallbackRegistered = TRUE;
    return STATUS_SUCCESS;
}

// CmUnRegisterCallback returns after callbacks still running have finished.
VOID PwRemoveRegistryCallback() {
    CmUnRegisterCallback(g_Pw.RegistryCookie);
    g_Pw.RegistryCallbackRegistered = FALSE;
}
