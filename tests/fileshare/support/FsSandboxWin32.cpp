#include "tests/fileshare/support/FsSandbox.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

namespace fstest {

void PlaceRoot(const quortest::TempDir& dir, std::string& localRoot, std::filesystem::path& hostRoot)
{
    localRoot = dir.Str();
    hostRoot = dir.Path();
}

namespace {

// The mount-point reparse buffer (REPARSE_DATA_BUFFER of the driver kit), for junctions.
struct MountPointHead {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
};
constexpr DWORD kTagMountPoint = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
constexpr DWORD kSetReparsePoint = 0x000900A4;  // FSCTL_SET_REPARSE_POINT

bool MakeJunction(const std::filesystem::path& link, const std::filesystem::path& target)
{
    if (!::CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    const std::wstring print = std::filesystem::absolute(target).wstring();
    const std::wstring substitute = L"\\??\\" + print;
    const WORD subBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    const WORD printBytes = static_cast<WORD>(print.size() * sizeof(wchar_t));
    std::vector<unsigned char> buffer(sizeof(MountPointHead) + subBytes + printBytes + 2 * sizeof(wchar_t), 0);
    MountPointHead head {};
    head.tag = kTagMountPoint;
    head.dataLength = static_cast<WORD>(buffer.size() - 8);
    head.substituteOffset = 0;
    head.substituteLength = subBytes;
    head.printOffset = static_cast<WORD>(subBytes + sizeof(wchar_t));
    head.printLength = printBytes;
    std::memcpy(buffer.data(), &head, sizeof head);
    std::memcpy(buffer.data() + sizeof head, substitute.data(), subBytes);
    std::memcpy(buffer.data() + sizeof head + head.printOffset, print.data(), printBytes);
    HANDLE h = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ::RemoveDirectoryW(link.c_str());
        return false;
    }
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(h, kSetReparsePoint, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                                      0, &returned, nullptr);
    ::CloseHandle(h);
    const bool isLink = ok && (::GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!isLink) {
        ::RemoveDirectoryW(link.c_str());
    }
    return isLink;
}

bool IsReparsePoint(const std::filesystem::path& p)
{
    const DWORD attributes = ::GetFileAttributesW(p.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Under Wine, whose CreateSymbolicLinkW makes nothing and which refuses to set reparse
// points: a symbolic link of the host system, which Wine reports as a reparse point
// (FILE_ATTRIBUTE_REPARSE_POINT), made by the host's ln. False elsewhere.
std::string UnixName(const std::filesystem::path& p)
{
    using GetUnixName = char*(CDECL*)(LPCWSTR);
    const auto get = reinterpret_cast<GetUnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (get == nullptr) {
        return {};
    }
    char* name = get(p.c_str());
    if (name == nullptr) {
        return {};
    }
    std::string s(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return s;
}

constexpr ULONGLONG kHostCommandMs = 5000;

bool HostCommand(const std::wstring& program, std::wstring arguments, const std::filesystem::path& watched,
                 bool expectLink)
{
    STARTUPINFOW si {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi {};
    std::wstring line = L"\"" + program + L"\" " + arguments;
    if (!::CreateProcessW((L"Z:\\bin\\" + program).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &si, &pi)) {
        return false;
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    // Wine does not wait for a host program: wait for its effect instead, bounded by the
    // clock (a loaded machine stretches every sleep; a link that has not appeared within the
    // bound counts as one the platform could not make).
    const ULONGLONG deadline = ::GetTickCount64() + kHostCommandMs;
    for (;;) {
        const bool there = ::GetFileAttributesW(watched.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (there == expectLink) {
            return !expectLink || IsReparsePoint(watched);
        }
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(5);
    }
}

std::wstring Quoted(const std::string& s) { return L"\"" + std::filesystem::path(s).wstring() + L"\""; }

bool WineHostLink(const std::filesystem::path& link, const std::filesystem::path& target, bool relative)
{
    const std::string unixLink = UnixName(link);
    std::string unixTarget;
    if (relative) {
        unixTarget = std::filesystem::relative(target, link.parent_path()).generic_string();
    } else {
        unixTarget = UnixName(target);
    }
    if (unixLink.empty() || unixTarget.empty()) {
        return false;
    }
    return HostCommand(L"ln", L"-s " + Quoted(unixTarget) + L" " + Quoted(unixLink), link, true);
}

}  // namespace

bool FsSandbox::MakeLink(const std::string& rel, const std::filesystem::path& target, LinkKind kind,
                         bool relative) const
{
    const std::filesystem::path link = Host(rel);
    std::filesystem::create_directories(link.parent_path());
    if (kind == LinkKind::Junction) {
        return MakeJunction(link, target);  // junctions always hold an absolute target
    }
    const std::filesystem::path text = relative ? std::filesystem::relative(target, link.parent_path()) : target;
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (kind == LinkKind::Directory) {
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    }
    // Only a link that the system reports as one counts.
    if (::CreateSymbolicLinkW(link.c_str(), text.c_str(), flags) && IsReparsePoint(link)) {
        return true;
    }
    ::DeleteFileW(link.c_str());
    ::RemoveDirectoryW(link.c_str());
    // Wine shows a host link to a file as a plain file: no file link to test with there.
    return kind == LinkKind::Directory && WineHostLink(link, target, relative);
}

bool FsSandbox::RemoveLink(const std::string& rel, LinkKind kind) const
{
    const std::filesystem::path link = Host(rel);
    if (kind == LinkKind::File ? ::DeleteFileW(link.c_str()) != FALSE : ::RemoveDirectoryW(link.c_str()) != FALSE) {
        return true;
    }
    const std::string unixLink = UnixName(link);
    return !unixLink.empty() && HostCommand(L"rm", Quoted(unixLink), link, false);
}

std::filesystem::path FsSandbox::MachineRoot() { return "C:\\"; }

}  // namespace fstest
