// Kernel shim: the object manager as the driver sees it - device and link names, devices,
// file objects (handles of user-mode openers), kernel handles, and device security.
#include "procwarden/shim/shim_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace shim::internal {
namespace {

struct NameEntry {
    enum Kind { kDevice, kLink, kReserved } kind;
    PDEVICE_OBJECT device;
    std::u16string target;
};
struct DeviceRecord {
    std::u16string name;                   // may be empty
    bool secured = false;                  // a DACL was set
    std::vector<std::string> allowedSids;  // SIDs of its access-allowed entries
};

std::mutex g_namesMutex;
std::map<std::u16string, NameEntry> g_names;    // keys folded to upper case
std::map<PDEVICE_OBJECT, DeviceRecord> g_devices;
// File objects stay until Reset (a test may still hold a closed one); the last test's go at exit.
struct FileTable : std::map<PFILE_OBJECT, HandleRecord> {
    ~FileTable() {
        for (auto& [file, record] : *this) {
            std::free(file->FileName.Buffer);
            std::free(file);
        }
    }
};
FileTable g_files;
std::map<HANDLE, PDEVICE_OBJECT> g_kernelHandles;
uintptr_t g_nextHandle = 0x100;
NTSTATUS g_failSecurity = STATUS_SUCCESS;

constexpr uint32_t kTokenMagic = 0x546F6B21;
struct Token {
    uint32_t magic;
    bool administrator;
};

std::string SidText(const void* sid) {
    const auto* s = static_cast<const SID*>(sid);
    uint64_t authority = 0;
    for (UCHAR b : s->IdentifierAuthority.Value) authority = (authority << 8) | b;
    std::string text = "S-" + std::to_string(s->Revision) + "-" + std::to_string(authority);
    for (UCHAR i = 0; i < s->SubAuthorityCount; ++i) {
        ULONG sub;
        std::memcpy(&sub, reinterpret_cast<const uint8_t*>(&s->SubAuthority[0]) + i * sizeof(ULONG), sizeof(sub));
        text += "-" + std::to_string(sub);
    }
    return text;
}

// The groups of an opener's token.
std::vector<std::string> SidsOf(const Opener& opener) {
    std::vector<std::string> sids = {"S-1-1-0", "S-1-5-11", "S-1-5-32-545"};  // Everyone, Authenticated Users, Users
    if (opener.administrator) sids.push_back("S-1-5-32-544");
    return sids;
}

}  // namespace

PDEVICE_OBJECT ResolveDevice(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    std::u16string current = name;
    for (int hops = 0; hops < 8; ++hops) {
        auto it = g_names.find(Fold(current));
        if (it == g_names.end() || it->second.kind == NameEntry::kReserved) {
            return nullptr;
        }
        if (it->second.kind == NameEntry::kDevice) {
            return it->second.device;
        }
        current = it->second.target;
    }
    return nullptr;
}

bool AccessAllowed(PDEVICE_OBJECT device, const Opener& opener, bool pathBelowDevice) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_devices.find(device);
    if (it == g_devices.end()) return false;
    if (pathBelowDevice && (device->Characteristics & FILE_DEVICE_SECURE_OPEN) == 0) {
        return true;  // the open goes to the driver, whose namespace it is
    }
    if (!it->second.secured) {
        return true;  // the default descriptor of a named device admits everyone
    }
    for (const std::string& sid : SidsOf(opener)) {
        const auto& allowed = it->second.allowedSids;
        if (std::find(allowed.begin(), allowed.end(), sid) != allowed.end()) return true;
    }
    return false;
}

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, const Opener& opener, const std::u16string& path) {
    auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->DeviceObject = device;
    if (!path.empty()) {
        auto* text = static_cast<WCHAR*>(std::calloc(path.size(), sizeof(WCHAR)));
        std::memcpy(text, path.data(), path.size() * sizeof(WCHAR));
        file->FileName.Buffer = text;
        file->FileName.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
        file->FileName.MaximumLength = file->FileName.Length;
    }
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_files[file] = HandleRecord{opener, false};
    return file;
}

void DeleteFileObject(PFILE_OBJECT file) {
    {
        std::lock_guard<std::mutex> lock(g_namesMutex);
        g_files.erase(file);
    }
    std::free(file->FileName.Buffer);
    std::free(file);
}

const HandleRecord* FindHandle(PFILE_OBJECT file) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_files.find(file);
    if (it == g_files.end() || it->second.closed) {
        Fault("request on a handle that is not open");
        return nullptr;
    }
    return &it->second;
}

void MarkClosed(PFILE_OBJECT file) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_files.find(file);
    if (it != g_files.end()) it->second.closed = true;
}

size_t OpenKernelHandles() {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    return g_kernelHandles.size();
}

PACCESS_TOKEN NewToken(bool administrator) { return new Token{kTokenMagic, administrator}; }
void DeleteToken(PACCESS_TOKEN token) { delete static_cast<Token*>(token); }

void ResetObjects() {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    for (auto& [device, record] : g_devices) {
        std::free(device->DeviceExtension);
        std::free(device);
    }
    for (auto& [file, record] : g_files) {
        std::free(file->FileName.Buffer);
        std::free(file);
    }
    g_devices.clear();
    g_files.clear();
    g_names.clear();
    g_kernelHandles.clear();
    g_failSecurity = STATUS_SUCCESS;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace shim::internal

using namespace shim::internal;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        PUNICODE_STRING deviceName, DEVICE_TYPE deviceType, ULONG deviceCharacteristics,
                        BOOLEAN, PDEVICE_OBJECT* deviceObject) {
    *deviceObject = nullptr;
    std::lock_guard<std::mutex> lock(g_namesMutex);
    const std::u16string name = FromCounted(deviceName);
    if (!name.empty() && g_names.count(Fold(name)) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
    device->DriverObject = driverObject;
    device->DeviceType = deviceType;
    device->Characteristics = deviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->DeviceExtension = deviceExtensionSize != 0 ? std::calloc(1, deviceExtensionSize) : nullptr;
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    if (!name.empty()) {
        g_names[Fold(name)] = NameEntry{NameEntry::kDevice, device, {}};
    }
    g_devices[device] = DeviceRecord{name, false, {}};
    *deviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_devices.find(device);
    if (it == g_devices.end()) {
        Fault("deleting a device that does not exist");
        return;
    }
    if (!it->second.name.empty()) g_names.erase(Fold(it->second.name));
    g_devices.erase(it);
    for (const auto& [handle, target] : g_kernelHandles) {
        if (target == device) Fault("device deleted with a kernel handle to it still open");
    }
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
    if (*link == device) *link = device->NextDevice;
    std::free(device->DeviceExtension);
    std::free(device);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    const std::u16string name = FromCounted(symbolicLinkName);
    if (name.empty()) return STATUS_INVALID_PARAMETER;
    if (g_names.count(Fold(name)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    g_names[Fold(name)] = NameEntry{NameEntry::kLink, nullptr, FromCounted(deviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_names.find(Fold(FromCounted(symbolicLinkName)));
    if (it == g_names.end() || it->second.kind != NameEntry::kLink) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    g_names.erase(it);
    return STATUS_SUCCESS;
}

// ---- security descriptors, built the way the kernel's Rtl routines lay them out ----

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, ULONG revision) {
    if (revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNSUCCESSFUL;
    std::memset(securityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<PISECURITY_DESCRIPTOR>(securityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateAcl(PACL acl, ULONG aclLength, ULONG aclRevision) {
    if (aclLength < sizeof(ACL) || aclLength > 0xFFFF || aclRevision != ACL_REVISION) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(acl, 0, sizeof(ACL));
    acl->AclRevision = static_cast<UCHAR>(aclRevision);
    acl->AclSize = static_cast<USHORT>(aclLength);
    return STATUS_SUCCESS;
}

ULONG RtlLengthSid(PSID sid) {
    return 8 + 4 * static_cast<ULONG>(static_cast<const SID*>(sid)->SubAuthorityCount);
}

NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG aceRevision, ACCESS_MASK accessMask, PSID sid) {
    if (aceRevision != ACL_REVISION) return STATUS_INVALID_PARAMETER;
    // Find the end of the entries present.
    auto* base = reinterpret_cast<uint8_t*>(acl);
    size_t used = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, base + used, sizeof(header));
        used += header.AceSize;
    }
    const size_t aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG) + RtlLengthSid(sid);
    if (used + aceSize > acl->AclSize) return STATUS_BUFFER_TOO_SMALL;
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace.Header.AceSize = static_cast<USHORT>(aceSize);
    ace.Mask = accessMask;
    std::memcpy(base + used, &ace, sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG));
    std::memcpy(base + used + sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG), sid, RtlLengthSid(sid));
    ++acl->AceCount;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, BOOLEAN daclPresent,
                                      PACL dacl, BOOLEAN) {
    auto* sd = static_cast<PISECURITY_DESCRIPTOR>(securityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNSUCCESSFUL;
    if (daclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        sd->Dacl = dacl;
    } else {
        sd->Control &= static_cast<USHORT>(~SE_DACL_PRESENT);
        sd->Dacl = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PACCESS_STATE, ACCESS_MASK,
                               POBJECT_TYPE, KPROCESSOR_MODE accessMode, PHANDLE handle) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    if (g_devices.count(device) == 0) {
        Fault("ObOpenObjectByPointer on something that is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    if ((handleAttributes & OBJ_KERNEL_HANDLE) == 0 || accessMode != KernelMode) {
        Fault("handle opened in the calling process's handle table (no OBJ_KERNEL_HANDLE)");
    }
    const auto h = reinterpret_cast<HANDLE>(g_nextHandle += 4);
    g_kernelHandles[h] = device;
    *handle = h;
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION securityInformation,
                             PSECURITY_DESCRIPTOR securityDescriptor) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_kernelHandles.find(handle);
    if (it == g_kernelHandles.end()) return STATUS_INVALID_HANDLE;
    if (g_failSecurity != STATUS_SUCCESS) {
        return g_failSecurity;
    }
    if (securityInformation != DACL_SECURITY_INFORMATION) {
        Fault("ZwSetSecurityObject: only the DACL is modelled");
        return STATUS_INVALID_PARAMETER;
    }
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(securityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_DACL_PRESENT) == 0 || sd->Dacl == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceRecord& record = g_devices[it->second];
    record.secured = true;
    record.allowedSids.clear();
    const auto* base = reinterpret_cast<const uint8_t*>(sd->Dacl);
    size_t at = sizeof(ACL);
    for (USHORT i = 0; i < sd->Dacl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, base + at, sizeof(header));
        ACCESS_MASK mask;
        std::memcpy(&mask, base + at + sizeof(ACE_HEADER), sizeof(mask));
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE && (mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
            record.allowedSids.push_back(SidText(base + at + sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)));
        }
        at += header.AceSize;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    if (g_kernelHandles.erase(handle) == 0) {
        Fault("ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN token) {
    const auto* t = static_cast<const Token*>(token);
    if (t == nullptr || t->magic != kTokenMagic) {
        Fault("SeTokenIsAdmin on something that is not a token");
        return FALSE;
    }
    return t->administrator ? TRUE : FALSE;
}

namespace shim {

void ReserveName(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_names[Fold(name)] = NameEntry{NameEntry::kReserved, nullptr, {}};
}

bool NameExists(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    return g_names.count(Fold(name)) != 0;
}

std::u16string LinkTarget(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    auto it = g_names.find(Fold(name));
    return it != g_names.end() && it->second.kind == NameEntry::kLink ? it->second.target : std::u16string();
}

void FailSecurityChanges(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_failSecurity = status;
}

}  // namespace shim
