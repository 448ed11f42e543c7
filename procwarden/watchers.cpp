// procwarden: the process-creation and uninstall-registry watchers.
#include "procwarden.h"

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

    PwMessage message;
    message.Name = image;
    message.Value1 = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(processId));
    message.Value2 = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(createInfo->ParentProcessId));
    PwSlotGrant grant;

    if (PwCurrentMode() == PW_MODE_REPORT_ALL) {
        message.Type = PW_MSG_TYPE_PROCESS_REPORT;
        if (PwSendMessage(&message, TRUE, &grant)) {
            (void)PwFinishSlot(&grant);  // reported only; this mode never blocks
        }
        return;
    }
    if (trusted) {
        return;
    }
    message.Type = PW_MSG_TYPE_PROCESS;
    if (PwSendMessage(&message, TRUE, &grant)) {
        if (PwFinishSlot(&grant) == PW_VERDICT_BLOCK) {
            createInfo->CreationStatus = PW_STATUS_CREATION_VETOED;
        }
    }
}

NTSTATUS PwRegistryCallback(PVOID context, PVOID argument1, PVOID argument2) {
    (void)context;
    if (g_Pw.KeyName.Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (static_cast<REG_NOTIFY_CLASS>(reinterpret_cast<ULONG_PTR>(argument1)) != RegNtPostSetValueKey) {
        return STATUS_SUCCESS;
    }
    auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument2);
    if (post == nullptr) {
        return STATUS_SUCCESS;
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
    if (NT_SUCCESS(status) && query->Name.Buffer != nullptr) {
        // One key-name buffer serves every notification: the copy, the test and the hand-off
        // into the service's request happen under the key-name lock (a passive-level lock, as
        // the log line below prints Unicode text).
        KeWaitForSingleObject(&g_Pw.KeyNameLock, Executive, KernelMode, FALSE, nullptr);
        UNICODE_STRING& key = g_Pw.KeyName;
        key.Length = query->Name.Length <= key.MaximumLength ? query->Name.Length : key.MaximumLength;
        RtlCopyMemory(key.Buffer, query->Name.Buffer, key.Length);
        if (PwContainsCaseSensitive(&key, &kUninstallKeyPart)) {
            DbgPrint("[ProcessFilter] [Uninstall Set],%wZ,%wZ \n", setValue->ValueName, &key);
            PwMessage message = {PW_MSG_TYPE_REGISTRY, &key, 0, 0};
            (void)PwSendMessage(&message, FALSE, nullptr);
        }
        KeSetEvent(&g_Pw.KeyNameLock, IO_NO_INCREMENT, FALSE);
    }
    ExFreePoolWithTag(query, PW_TAG_NAME_QUERY);
    return STATUS_SUCCESS;
}

// The key-name buffer and its lock are ready before the callback can run.
NTSTATUS PwInstallRegistryCallback(PDRIVER_OBJECT driver) {
    const USHORT bytes = PW_KEY_NAME_UNITS * sizeof(WCHAR);
    g_Pw.KeyName.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, PW_TAG_KEY_NAME));
    if (g_Pw.KeyName.Buffer == nullptr) {
        g_Pw.RegistryCallbackRegistered = FALSE;
        DbgPrint("[ProcessFilter] CmRegisterCallbackEx: Allocate buffer fail!!!\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(g_Pw.KeyName.Buffer, bytes);
    g_Pw.KeyName.Length = 0;
    g_Pw.KeyName.MaximumLength = bytes;
    KeInitializeEvent(&g_Pw.KeyNameLock, SynchronizationEvent, TRUE);

    NTSTATUS status = CmRegisterCallbackEx(PwRegistryCallback, &kAltitude, driver, nullptr,
                                           &g_Pw.RegistryCookie, nullptr);
    if (!NT_SUCCESS(status)) {
        g_Pw.RegistryCallbackRegistered = FALSE;
        ExFreePoolWithTag(g_Pw.KeyName.Buffer, PW_TAG_KEY_NAME);
        g_Pw.KeyName.Buffer = nullptr;
        g_Pw.KeyName.MaximumLength = 0;
        DbgPrint("[ProcessFilter] CmRegisterCallbackEx: Fail\n");
        return status;
    }
    g_Pw.RegistryCallbackRegistered = TRUE;
    return STATUS_SUCCESS;
}

// CmUnRegisterCallback returns after callbacks still running have finished, so the key-name
// buffer can go afterwards.
VOID PwRemoveRegistryCallback() {
    CmUnRegisterCallback(g_Pw.RegistryCookie);
    g_Pw.RegistryCallbackRegistered = FALSE;
    if (g_Pw.KeyName.Buffer != nullptr) {
        ExFreePoolWithTag(g_Pw.KeyName.Buffer, PW_TAG_KEY_NAME);
    }
    g_Pw.KeyName.Buffer = nullptr;
    g_Pw.KeyName.Length = 0;
    g_Pw.KeyName.MaximumLength = 0;
}
