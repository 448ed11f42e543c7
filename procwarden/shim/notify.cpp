// Kernel shim: the process manager's creation notifications and the configuration manager's
// registry callbacks, the processes callouts run in, and object names of registry keys.
#include "procwarden/shim/shim_internal.h"

#include <algorithm>
#include <cstring>

namespace shim::internal {
namespace {

struct RegistryCallback {
    PEX_CALLBACK_FUNCTION function;
    PVOID context;
    LONGLONG cookie;
};
std::mutex g_regMutex;
std::condition_variable g_regCv;
std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> g_processRoutines;
std::vector<RegistryCallback> g_registryCallbacks;
int g_callouts = 0;           // notify routines and callbacks currently running
size_t g_removalsWaiting = 0;
NTSTATUS g_failProcessRegistration = STATUS_SUCCESS;
NTSTATUS g_failRegistryRegistration = STATUS_SUCCESS;
std::u16string g_lastAltitude;
LONGLONG g_nextCookie = 1;
bool g_holdNameQueries = false;
size_t g_heldNameQueries = 0;

// Registry key objects as the configuration manager hands them to callbacks.
constexpr uint32_t kKeyMagic = 0x4B657921;
struct KeyObject {
    uint32_t magic;
    std::u16string name;
};

thread_local uint64_t t_process = 4;  // the System process

struct CalloutScope {
    CalloutScope() {
        std::lock_guard<std::mutex> lock(g_regMutex);
        ++g_callouts;
    }
    ~CalloutScope() {
        std::lock_guard<std::mutex> lock(g_regMutex);
        --g_callouts;
        g_regCv.notify_all();
    }
};

// Like the kernel: a removal returns once no callout is running any more. Lock held.
void WaitForCallouts(std::unique_lock<std::mutex>& lock) {
    ++g_removalsWaiting;
    g_regCv.wait(lock, [] { return g_callouts == 0; });
    --g_removalsWaiting;
}

}  // namespace

void SetCurrentProcess(uint64_t processId) { t_process = processId; }
uint64_t CurrentProcess() { return t_process; }

void ResetNotify() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_processRoutines.clear();
    g_registryCallbacks.clear();
    g_failProcessRegistration = STATUS_SUCCESS;
    g_failRegistryRegistration = STATUS_SUCCESS;
    g_lastAltitude.clear();
    g_holdNameQueries = false;
}

bool NothingRegistered(std::string* what) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    if (!g_processRoutines.empty()) *what = "process notify routine";
    else if (!g_registryCallbacks.empty()) *what = "registry callback";
    else return true;
    return false;
}

}  // namespace shim::internal

using namespace shim::internal;

HANDLE PsGetCurrentProcessId() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentProcess())); }

NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine, BOOLEAN remove) {
    std::unique_lock<std::mutex> lock(g_regMutex);
    auto it = std::find(g_processRoutines.begin(), g_processRoutines.end(), notifyRoutine);
    if (remove) {
        if (it == g_processRoutines.end()) return STATUS_PROCEDURE_NOT_FOUND;
        g_processRoutines.erase(it);
        WaitForCallouts(lock);
        return STATUS_SUCCESS;
    }
    if (g_failProcessRegistration != STATUS_SUCCESS) {
        const NTSTATUS status = g_failProcessRegistration;
        g_failProcessRegistration = STATUS_SUCCESS;
        return status;
    }
    if (it != g_processRoutines.end()) return STATUS_INVALID_PARAMETER;
    g_processRoutines.push_back(notifyRoutine);
    return STATUS_SUCCESS;
}

NTSTATUS CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION function, PCUNICODE_STRING altitude, PVOID driver,
                              PVOID context, PLARGE_INTEGER cookie, PVOID) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    if (function == nullptr || altitude == nullptr || driver == nullptr || cookie == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    g_lastAltitude = FromCounted(altitude);
    if (g_failRegistryRegistration != STATUS_SUCCESS) {
        const NTSTATUS status = g_failRegistryRegistration;
        g_failRegistryRegistration = STATUS_SUCCESS;
        return status;
    }
    cookie->QuadPart = g_nextCookie++;
    g_registryCallbacks.push_back(RegistryCallback{function, context, cookie->QuadPart});
    return STATUS_SUCCESS;
}

NTSTATUS CmUnRegisterCallback(LARGE_INTEGER cookie) {
    std::unique_lock<std::mutex> lock(g_regMutex);
    auto it = std::find_if(g_registryCallbacks.begin(), g_registryCallbacks.end(),
                           [&](const RegistryCallback& c) { return c.cookie == cookie.QuadPart; });
    if (it == g_registryCallbacks.end()) return STATUS_INVALID_PARAMETER;
    g_registryCallbacks.erase(it);
    WaitForCallouts(lock);
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION info, ULONG length, PULONG returnLength) {
    if (CurrentIrql() != PASSIVE_LEVEL) {
        Fault("ObQueryNameString above PASSIVE_LEVEL");
    }
    {
        std::unique_lock<std::mutex> lock(g_regMutex);
        if (g_holdNameQueries) {
            ++g_heldNameQueries;
            g_regCv.notify_all();
            g_regCv.wait(lock, [] { return !g_holdNameQueries; });
            --g_heldNameQueries;
        }
    }
    auto* key = static_cast<KeyObject*>(object);
    if (key == nullptr || key->magic != kKeyMagic) {
        Fault("ObQueryNameString on something that is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    const size_t bytes = key->name.size() * sizeof(WCHAR);
    const size_t needed = sizeof(OBJECT_NAME_INFORMATION) + bytes + sizeof(WCHAR);
    if (returnLength != nullptr) *returnLength = static_cast<ULONG>(needed);
    if (length < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* text = reinterpret_cast<WCHAR*>(info + 1);
    std::memcpy(text, key->name.data(), bytes);
    text[key->name.size()] = 0;
    info->Name.Buffer = text;
    info->Name.Length = static_cast<USHORT>(bytes);
    info->Name.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

namespace shim {

void FailNextProcessNotifyRegistration(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_failProcessRegistration = status;
}

void FailNextRegistryRegistration(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_failRegistryRegistration = status;
}

size_t ProcessNotifyRoutineCount() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_processRoutines.size();
}

size_t RegistryCallbackCount() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_registryCallbacks.size();
}

std::u16string LastRegistryAltitude() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_lastAltitude;
}

void HoldNameQueries(bool hold) {
    std::lock_guard<std::mutex> lock(g_regMutex);
    g_holdNameQueries = hold;
    g_regCv.notify_all();
}

size_t HeldNameQueries() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_heldNameQueries;
}

size_t RemovalsWaitingForCallouts() {
    std::lock_guard<std::mutex> lock(g_regMutex);
    return g_removalsWaiting;
}

NTSTATUS CreateProcess(const std::u16string& image, uint64_t processId, uint64_t parentId, uint64_t creatorId) {
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> routines;
    CalloutScope scope;
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        routines = g_processRoutines;
    }
    const uint64_t creator = creatorId != 0 ? creatorId : parentId;
    PageableString imageName(image);
    PS_CREATE_NOTIFY_INFO info{};
    info.Size = sizeof(info);
    info.ParentProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parentId));
    info.CreatingThreadId.UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(creator));
    info.CreatingThreadId.UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(creator * 4 + 1));
    info.ImageFileName = &imageName.value;
    info.CreationStatus = STATUS_SUCCESS;
    const uint64_t previous = CurrentProcess();
    SetCurrentProcess(creator);  // the routines run in the creating thread
    for (auto routine : routines) {
        routine(reinterpret_cast<PEPROCESS>(0x1000 + processId),
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processId)), &info);
    }
    SetCurrentProcess(previous);
    return info.CreationStatus;
}

void ExitProcess(uint64_t processId) {
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> routines;
    CalloutScope scope;
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        routines = g_processRoutines;
    }
    for (auto routine : routines) {
        routine(reinterpret_cast<PEPROCESS>(0x1000 + processId),
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processId)), nullptr);
    }
}

NTSTATUS SetRegistryValue(const std::u16string& key, const std::u16string& valueName, REG_NOTIFY_CLASS notifyClass,
                          NTSTATUS writeStatus) {
    std::vector<RegistryCallback> callbacks;
    CalloutScope scope;
    {
        std::lock_guard<std::mutex> lock(g_regMutex);
        callbacks = g_registryCallbacks;
    }
    KeyObject object{kKeyMagic, key};
    // After a failed write the post-operation record's object is not to be used.
    KeyObject stale{0, key};
    PageableString value(valueName);
    REG_SET_VALUE_KEY_INFORMATION setValue{};
    setValue.Object = &object;
    setValue.ValueName = &value.value;
    setValue.Type = 1;  // REG_SZ
    REG_POST_OPERATION_INFORMATION post{};
    post.Status = writeStatus;
    post.Object = NT_SUCCESS(writeStatus) ? &object : &stale;
    post.PreInformation = &setValue;
    PVOID argument = notifyClass == RegNtPostSetValueKey ? static_cast<PVOID>(&post) : static_cast<PVOID>(&setValue);
    NTSTATUS status = STATUS_SUCCESS;
    for (const auto& callback : callbacks) {
        status = callback.function(callback.context,
                                   reinterpret_cast<PVOID>(static_cast<uintptr_t>(notifyClass)), argument);
    }
    return status;
}

}  // namespace shim
